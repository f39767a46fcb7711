// Driver images: a PE32 native-subsystem image mapped as the system maps a
// driver, relocated and bound to the hosted kernel's exports.
#pragma once

#include "internal.h"

#include <optional>
#include <string>
#include <vector>

namespace kx::detail {

class DriverImage {
  public:
    // Maps the image file: sections at their addresses with their protections,
    // base relocations applied, every import bound. Null with *error saying why
    // (the file, its format, or the first import the kernel does not export).
    static std::unique_ptr<DriverImage> Load(const std::string& path, std::string* error);
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    PDRIVER_INITIALIZE Entry() const { return entry_; }
    const void* Base() const { return base_; }
    size_t Size() const { return size_; }
    const std::string& FileName() const { return fileName_; }
    // After DriverEntry returns, as the system frees a driver's INIT code.
    void DiscardInitSections();

  private:
    DriverImage() = default;
    bool Map(const std::vector<unsigned char>& file, std::string* error);

    struct Section {
        size_t offset;
        size_t size;
        ULONG characteristics;
    };

    unsigned char* base_ = nullptr;
    size_t size_ = 0;
    PDRIVER_INITIALIZE entry_ = nullptr;
    std::string fileName_;
    std::vector<Section> sections_;
};

} // namespace kx::detail
