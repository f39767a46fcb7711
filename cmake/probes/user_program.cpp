// Fixture for the image checks: an ordinary Win32 console program, linked with the
// C runtime, which imports from KERNEL32.dll and msvcrt.dll and has a console
// subsystem. Every driver image check must reject it.
extern "C" int puts(const char* text);

int main() {
    return puts("probe") < 0 ? 1 : 0;
}
