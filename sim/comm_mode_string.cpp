// BuildCommDCB and BuildCommDCBAndTimeouts: the settings of a mode string, in the
// syntax the MODE command takes for a COM port.
#include "serial_api.h"

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

namespace win32 {
namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Number(const std::string& text, DWORD* value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

// A baud rate: MODE's two-digit abbreviations, or the rate itself.
bool Baud(const std::string& text, DWORD* rate) {
    static const struct {
        const char* abbreviation;
        DWORD rate;
    } abbreviations[] = {{"11", 110},  {"15", 150},  {"30", 300},  {"60", 600},  {"12", 1200},
                         {"24", 2400}, {"48", 4800}, {"96", 9600}, {"19", 19200}};
    for (const auto& entry : abbreviations) {
        if (text == entry.abbreviation) {
            *rate = entry.rate;
            return true;
        }
    }
    return Number(text, rate) && *rate != 0;
}

bool Parity(const std::string& text, DCB* dcb) {
    static const char letters[] = "noems"; // NOPARITY, ODDPARITY, EVENPARITY, MARK, SPACE
    if (text.size() != 1)
        return false;
    static const BYTE values[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
    for (size_t i = 0; i < 5; ++i) {
        if (text[0] == letters[i]) {
            dcb->Parity = values[i];
            dcb->fParity = values[i] != NOPARITY;
            return true;
        }
    }
    return false;
}

bool DataBits(const std::string& text, DCB* dcb) {
    DWORD bits;
    if (!Number(text, &bits) || bits < 5 || bits > 8)
        return false;
    dcb->ByteSize = static_cast<BYTE>(bits);
    return true;
}

bool StopBits(const std::string& text, DCB* dcb) {
    if (text == "1")
        dcb->StopBits = ONESTOPBIT;
    else if (text == "1.5")
        dcb->StopBits = ONE5STOPBITS;
    else if (text == "2")
        dcb->StopBits = TWOSTOPBITS;
    else
        return false;
    return true;
}

bool OnOff(const std::string& text, bool* on) {
    if (text != "on" && text != "off")
        return false;
    *on = text == "on";
    return true;
}

// What a mode string sets. Members it does not name keep their values, except the
// flow control, which is off unless the string turns it on.
struct ModeString {
    DCB dcb;
    bool timeoutsGiven = false;
    bool timeoutsOn = false;
};

void FlowControlOff(DCB* dcb) {
    dcb->fBinary = 1;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDsrSensitivity = 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
}

// "96,n,8,1[,x|p]": rate, parity, data bits, stop bits, then XON/XOFF (x) or
// hardware handshaking (p).
bool ParseOldForm(const std::string& text, ModeString* mode) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string field = text.substr(start, comma == std::string::npos ? comma : comma - start);
        size_t first = field.find_first_not_of(' ');
        size_t last = field.find_last_not_of(' ');
        fields.push_back(first == std::string::npos ? "" : field.substr(first, last - first + 1));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (fields.size() > 5)
        return false;
    DCB& dcb = mode->dcb;
    bool stopGiven = fields.size() > 3 && !fields[3].empty();
    if (!fields[0].empty() && !Baud(fields[0], &dcb.BaudRate))
        return false;
    if (fields.size() > 1 && !fields[1].empty() && !Parity(fields[1], &dcb))
        return false;
    if (fields.size() > 2 && !fields[2].empty() && !DataBits(fields[2], &dcb))
        return false;
    if (stopGiven && !StopBits(fields[3], &dcb))
        return false;
    if (!stopGiven && dcb.BaudRate == CBR_110)
        dcb.StopBits = TWOSTOPBITS;
    if (fields.size() > 4 && !fields[4].empty()) {
        if (fields[4] == "x") {
            dcb.fOutX = 1;
            dcb.fInX = 1;
        } else if (fields[4] == "p") {
            dcb.fOutxCtsFlow = 1;
            dcb.fOutxDsrFlow = 1;
            dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            return false;
        }
    }
    return true;
}

// "baud=9600 parity=n data=8 stop=1 to=off xon=off odsr=off octs=off dtr=on
// rts=on idsr=off", in any order.
bool ParseKeywordForm(const std::string& text, ModeString* mode) {
    DCB& dcb = mode->dcb;
    bool stopGiven = false;
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find(' ', position);
        std::string word = text.substr(position, end == std::string::npos ? end : end - position);
        position = end == std::string::npos ? text.size() : end + 1;
        if (word.empty())
            continue;
        size_t equals = word.find('=');
        if (equals == std::string::npos)
            return false;
        std::string key = word.substr(0, equals);
        std::string value = word.substr(equals + 1);
        bool on = false;
        bool ok;
        if (key == "baud") {
            ok = Baud(value, &dcb.BaudRate);
        } else if (key == "parity") {
            ok = Parity(value, &dcb);
        } else if (key == "data") {
            ok = DataBits(value, &dcb);
        } else if (key == "stop") {
            ok = StopBits(value, &dcb);
            stopGiven = true;
        } else if (key == "to") {
            ok = OnOff(value, &on);
            mode->timeoutsGiven = true;
            mode->timeoutsOn = on;
        } else if (key == "xon") {
            ok = OnOff(value, &on);
            dcb.fOutX = on;
            dcb.fInX = on;
        } else if (key == "odsr") {
            ok = OnOff(value, &on);
            dcb.fOutxDsrFlow = on;
        } else if (key == "octs") {
            ok = OnOff(value, &on);
            dcb.fOutxCtsFlow = on;
        } else if (key == "idsr") {
            ok = OnOff(value, &on);
            dcb.fDsrSensitivity = on;
        } else if (key == "dtr") {
            ok = true;
            if (value == "hs")
                dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            else if ((ok = OnOff(value, &on)))
                dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        } else if (key == "rts") {
            ok = true;
            if (value == "hs")
                dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            else if (value == "tg")
                dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            else if ((ok = OnOff(value, &on)))
                dcb.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        } else {
            ok = false;
        }
        if (!ok)
            return false;
    }
    if (!stopGiven && dcb.BaudRate == CBR_110)
        dcb.StopBits = TWOSTOPBITS;
    return true;
}

bool Parse(std::string text, ModeString* mode) {
    text = Lower(text);
    // A device name in front ("COM1:" or "COM1") is allowed and ignored.
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return false;
    text = text.substr(first);
    if (text.compare(0, 3, "com") == 0) {
        size_t digits = text.find_first_not_of("0123456789", 3);
        if (digits == 3)
            return false;
        if (digits != std::string::npos && text[digits] == ':')
            ++digits;
        text = text.substr(digits == std::string::npos ? text.size() : digits);
    }
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos)
        return false;
    text = text.substr(begin);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    FlowControlOff(&mode->dcb);
    return text.find('=') != std::string::npos ? ParseKeywordForm(text, mode)
                                               : ParseOldForm(text, mode);
}

std::string Narrow(LPCWSTR text) {
    std::string narrow;
    for (; *text != 0; ++text)
        narrow.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return narrow;
}

BOOL Build(LPCSTR definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    if (definition == nullptr || dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ModeString mode;
    mode.dcb = *dcb;
    if (!Parse(definition, &mode)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    mode.dcb.DCBlength = sizeof(DCB);
    *dcb = mode.dcb;
    // "to=on": writes end after a minute; "to=off": no time-outs at all.
    if (timeouts != nullptr && mode.timeoutsGiven) {
        *timeouts = COMMTIMEOUTS{};
        if (mode.timeoutsOn)
            timeouts->WriteTotalTimeoutConstant = 60000;
    }
    return TRUE;
}

} // namespace

BOOL BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
    return Build(lpDef, lpDCB, nullptr);
}

BOOL BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
    return lpDef == nullptr ? Build(nullptr, lpDCB, nullptr)
                            : Build(Narrow(lpDef).c_str(), lpDCB, nullptr);
}

BOOL BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    return Build(lpDef, lpDCB, lpCommTimeouts);
}

BOOL BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    return lpDef == nullptr ? Build(nullptr, lpDCB, lpCommTimeouts)
                            : Build(Narrow(lpDef).c_str(), lpDCB, lpCommTimeouts);
}

} // namespace win32
