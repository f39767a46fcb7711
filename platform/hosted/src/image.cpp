// The driver image loader: what the system's loader does with a .sys file, on the
// hosted kernel. A PE32 image for x86 with the native subsystem is mapped at an
// address of the kernel's choosing, relocated by its base relocations, bound to
// the routines it imports from ntoskrnl.exe and HAL.dll by name, and given its
// sections' protections. Every field read from the file is checked against the
// file and the image before it is used: a damaged image is refused, not followed.
#include "image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace kx::detail {
namespace {

constexpr uint16_t DosSignature = 0x5A4D;    // "MZ"
constexpr uint32_t NtSignature = 0x00004550; // "PE\0\0"
constexpr uint16_t MachineI386 = 0x014C;
constexpr uint16_t OptionalMagicPe32 = 0x010B;
constexpr uint16_t SubsystemNative = 1;
constexpr ULONG DirectoryImport = 1;
constexpr ULONG DirectoryBaseReloc = 5;
constexpr uint16_t RelocAbsolute = 0;
constexpr uint16_t RelocHighLow = 3;
constexpr uint32_t ImportByOrdinal = 0x80000000u;
constexpr ULONG ScnDiscardable = 0x02000000;
constexpr ULONG ScnExecute = 0x20000000;
constexpr ULONG ScnRead = 0x40000000;
constexpr ULONG ScnWrite = 0x80000000;

// Bounds-checked little-endian reads from a byte range.
class Bytes {
  public:
    Bytes(const unsigned char* data, size_t size) : data_(data), size_(size) {}
    bool Has(size_t offset, size_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }
    template <typename T> bool Read(size_t offset, T* value) const {
        if (!Has(offset, sizeof(T)))
            return false;
        std::memcpy(value, data_ + offset, sizeof(T));
        return true;
    }
    // A NUL-terminated string that lies wholly inside the range.
    bool String(size_t offset, std::string* text) const {
        if (offset >= size_)
            return false;
        auto begin = reinterpret_cast<const char*>(data_ + offset);
        size_t length = strnlen(begin, size_ - offset);
        if (length == size_ - offset)
            return false;
        text->assign(begin, length);
        return true;
    }

  private:
    const unsigned char* data_;
    size_t size_;
};

size_t PageSize() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

size_t RoundUp(size_t value, size_t unit) {
    return (value + unit - 1) / unit * unit;
}

int Protection(ULONG characteristics) {
    int protection = PROT_NONE;
    if (characteristics & ScnRead)
        protection |= PROT_READ;
    if (characteristics & ScnWrite)
        protection |= PROT_READ | PROT_WRITE;
    if (characteristics & ScnExecute)
        protection |= PROT_READ | PROT_EXEC;
    return protection;
}

// The header fields the loader uses.
struct Headers {
    uint16_t sectionCount = 0;
    size_t sectionTable = 0;
    uint32_t entry = 0;
    uint32_t imageBase = 0;
    uint32_t imageSize = 0;
    uint32_t headerSize = 0;
    uint32_t importRva = 0;
    uint32_t relocRva = 0;
    uint32_t relocSize = 0;
};

bool ReadHeaders(const Bytes& file, Headers* h, std::string* error) {
    uint16_t dos = 0;
    uint32_t ntOffset = 0, signature = 0;
    if (!file.Read(0, &dos) || dos != DosSignature || !file.Read(0x3C, &ntOffset) ||
        !file.Read(ntOffset, &signature) || signature != NtSignature) {
        *error = "not a PE image";
        return false;
    }
    size_t fileHeader = size_t(ntOffset) + 4, optional = fileHeader + 20;
    uint16_t machine = 0, optionalSize = 0, magic = 0, subsystem = 0;
    uint32_t directories = 0;
    if (!file.Read(fileHeader, &machine) || !file.Read(fileHeader + 2, &h->sectionCount) ||
        !file.Read(fileHeader + 16, &optionalSize) || !file.Read(optional, &magic)) {
        *error = "truncated PE header";
        return false;
    }
    if (machine != MachineI386 || magic != OptionalMagicPe32) {
        *error = "not a 32-bit x86 image";
        return false;
    }
    if (optionalSize < 96 || !file.Has(optional, optionalSize) ||
        !file.Read(optional + 16, &h->entry) || !file.Read(optional + 28, &h->imageBase) ||
        !file.Read(optional + 56, &h->imageSize) || !file.Read(optional + 60, &h->headerSize) ||
        !file.Read(optional + 68, &subsystem) || !file.Read(optional + 92, &directories)) {
        *error = "truncated optional header";
        return false;
    }
    if (subsystem != SubsystemNative) {
        *error = "not a driver: subsystem " + std::to_string(subsystem) + ", not native";
        return false;
    }
    auto directory = [&](ULONG index, uint32_t* rva, uint32_t* size) {
        size_t at = optional + 96 + 8 * size_t(index);
        if (index >= directories || at + 8 > optional + optionalSize)
            return true; // absent
        return file.Read(at, rva) && file.Read(at + 4, size);
    };
    uint32_t importSize = 0;
    if (!directory(DirectoryImport, &h->importRva, &importSize) ||
        !directory(DirectoryBaseReloc, &h->relocRva, &h->relocSize)) {
        *error = "truncated data directories";
        return false;
    }
    h->sectionTable = optional + optionalSize;
    if (!file.Has(h->sectionTable, size_t(h->sectionCount) * 40)) {
        *error = "truncated section table";
        return false;
    }
    if (h->imageSize == 0 || h->headerSize > h->imageSize || h->entry >= h->imageSize) {
        *error = "inconsistent image sizes";
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<DriverImage> DriverImage::Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return nullptr;
    }
    std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    std::unique_ptr<DriverImage> image(new DriverImage);
    size_t slash = path.find_last_of('/');
    image->fileName_ = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string why;
    if (!image->Map(file, &why)) {
        *error = image->fileName_ + ": " + why;
        return nullptr;
    }
    return image;
}

DriverImage::~DriverImage() {
    if (base_ != nullptr)
        munmap(base_, size_);
}

bool DriverImage::Map(const std::vector<unsigned char>& data, std::string* error) {
    Bytes file(data.data(), data.size());
    Headers h;
    if (!ReadHeaders(file, &h, error))
        return false;
#if !defined(__i386__)
    // The image's code runs in this process: only a 32-bit x86 host can run it.
    *error = "a 32-bit x86 image runs only on the 32-bit hosted kernel (preset hosted-x86)";
    return false;
#endif
    const size_t page = PageSize();
    size_ = RoundUp(h.imageSize, page);
    void* mapping =
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        size_ = 0;
        *error = "no memory for the image";
        return false;
    }
    base_ = static_cast<unsigned char*>(mapping);
    Bytes image(base_, h.imageSize);

    // Headers and sections at their relative addresses; what a section's raw data
    // does not cover stays zero (.bss).
    std::memcpy(base_, data.data(), std::min<size_t>(h.headerSize, data.size()));
    for (uint16_t i = 0; i < h.sectionCount; ++i) {
        size_t at = h.sectionTable + size_t(i) * 40;
        uint32_t virtualSize = 0, address = 0, rawSize = 0, rawOffset = 0, characteristics = 0;
        file.Read(at + 8, &virtualSize);
        file.Read(at + 12, &address);
        file.Read(at + 16, &rawSize);
        file.Read(at + 20, &rawOffset);
        file.Read(at + 36, &characteristics);
        size_t extent = virtualSize != 0 ? virtualSize : rawSize;
        size_t copied = std::min<size_t>(rawSize, extent);
        if (!image.Has(address, extent) || (copied != 0 && !file.Has(rawOffset, copied)) ||
            address < h.headerSize) {
            *error = "section " + std::to_string(i) + " lies outside the image or the file";
            return false;
        }
        std::memcpy(base_ + address, data.data() + rawOffset, copied);
        sections_.push_back({address, extent, characteristics});
    }

    // Base relocations: the image runs wherever the mapping landed.
    const uint32_t delta = uint32_t(reinterpret_cast<uintptr_t>(base_)) - h.imageBase;
    for (size_t block = h.relocRva; block < size_t(h.relocRva) + h.relocSize;) {
        uint32_t pageRva = 0, blockSize = 0;
        if (!image.Read(block, &pageRva) || !image.Read(block + 4, &blockSize) || blockSize < 8 ||
            !image.Has(block, blockSize)) {
            *error = "damaged base relocations";
            return false;
        }
        for (size_t entry = block + 8; entry + 2 <= block + blockSize; entry += 2) {
            uint16_t word = 0;
            image.Read(entry, &word);
            uint16_t type = word >> 12;
            size_t target = size_t(pageRva) + (word & 0xFFF);
            if (type == RelocAbsolute)
                continue;
            uint32_t value = 0;
            if (type != RelocHighLow || !image.Read(target, &value)) {
                *error =
                    "unsupported or misplaced base relocation (type " + std::to_string(type) + ")";
                return false;
            }
            value += delta;
            std::memcpy(base_ + target, &value, sizeof value);
        }
        block += blockSize;
    }

    // Imports, by name only: the kernel's exports have no stable ordinals.
    for (size_t descriptor = h.importRva; h.importRva != 0; descriptor += 20) {
        uint32_t lookup = 0, nameRva = 0, bound = 0;
        if (!image.Read(descriptor, &lookup) || !image.Read(descriptor + 12, &nameRva) ||
            !image.Read(descriptor + 16, &bound)) {
            *error = "damaged import directory";
            return false;
        }
        if (nameRva == 0 && bound == 0)
            break;
        std::string module;
        if (!image.String(nameRva, &module)) {
            *error = "damaged import directory";
            return false;
        }
        if (lookup == 0)
            lookup = bound;
        for (size_t i = 0;; ++i) {
            uint32_t thunk = 0;
            if (!image.Read(lookup + 4 * i, &thunk) || !image.Has(bound + 4 * i, 4)) {
                *error = "damaged import table of " + module;
                return false;
            }
            if (thunk == 0)
                break;
            std::string name;
            if ((thunk & ImportByOrdinal) != 0) {
                *error = "imports " + module + " ordinal " + std::to_string(thunk & 0xFFFF) +
                         ": only imports by name are bound";
                return false;
            }
            if (!image.String(size_t(thunk) + 2, &name)) {
                *error = "damaged import name in " + module;
                return false;
            }
            std::optional<ImportBinding> binding = KernelExport(module, name);
            if (!binding) {
                *error = "imports " + module + "!" + name + ", which the kernel does not export";
                return false;
            }
            uint32_t address = uint32_t(reinterpret_cast<uintptr_t>(binding->address));
            std::memcpy(base_ + bound + 4 * i, &address, sizeof address);
        }
    }

    // Section protections; a page shared by two sections gets both.
    std::vector<int> pages(size_ / page, PROT_READ);
    for (const Section& s : sections_) {
        for (size_t p = s.offset / page; p < RoundUp(s.offset + s.size, page) / page; ++p)
            pages[p] |= Protection(s.characteristics);
    }
    for (size_t p = 0; p < pages.size(); ++p)
        mprotect(base_ + p * page, page, pages[p]);

    entry_ = reinterpret_cast<PDRIVER_INITIALIZE>(base_ + h.entry);
    return true;
}

void DriverImage::DiscardInitSections() {
    const size_t page = PageSize();
    auto touches = [&](const Section& s, size_t p) {
        return s.offset < (p + 1) * page && s.offset + s.size > p * page;
    };
    for (const Section& s : sections_) {
        if ((s.characteristics & ScnDiscardable) == 0)
            continue;
        for (size_t p = s.offset / page; p * page < s.offset + s.size; ++p) {
            bool shared = false;
            for (const Section& other : sections_)
                shared |= (other.characteristics & ScnDiscardable) == 0 && touches(other, p);
            if (!shared)
                mprotect(base_ + p * page, page, PROT_NONE);
        }
    }
}

} // namespace kx::detail
