# Helpers shared by the directory CMakeLists of both builds.

# Instrumented builds register a module constructor in every object they compile,
# which the static-constructor check must accept: the sanitizer presets
# (-fsanitize=... in CMAKE_CXX_FLAGS; GCC's constructor is in section
# .init_array.00099, clang's sanitizer and coverage constructors of preset fuzz in
# .init_array.1 and .init_array.2) and preset coverage (--coverage; gcov's
# constructor is in .init_array.00100). Any other constructor still fails it.
set(KORVAX_INSTRUMENTATION_CTORS)
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
    list(APPEND KORVAX_INSTRUMENTATION_CTORS --ignore .init_array.00099)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        list(APPEND KORVAX_INSTRUMENTATION_CTORS --ignore .init_array.1 --ignore .init_array.2)
    endif()
endif()
if(CMAKE_CXX_FLAGS MATCHES "--coverage")
    list(APPEND KORVAX_INSTRUMENTATION_CTORS --ignore .init_array.00100)
endif()

set(KORVAX_CHECK_DIR ${PROJECT_SOURCE_DIR}/cmake)

# korvax_glob(<var> <pattern>...): the sorted files matching the patterns; the build
# re-runs CMake when a file is added or removed, so nobody edits CMake for that.
function(korvax_glob var)
    file(GLOB files CONFIGURE_DEPENDS ${ARGN})
    list(SORT files)
    set(${var} ${files} PARENT_SCOPE)
endfunction()

# korvax_add_library(<name> <scope-var> [<source>...]): a static library, or an
# interface library while there are no sources yet. <scope-var> receives the
# keyword (PUBLIC or INTERFACE) for the library's usage requirements.
function(korvax_add_library name scope_var)
    if(ARGN)
        add_library(${name} STATIC ${ARGN})
        set(${scope_var} PUBLIC PARENT_SCOPE)
    else()
        add_library(${name} INTERFACE)
        set(${scope_var} INTERFACE PARENT_SCOPE)
    endif()
endfunction()

# korvax_driver_compile_options(<target>): the kernel subset of C++ that driver
# code is compiled in, on the build being configured.
function(korvax_driver_compile_options target)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -nostdinc++)
    if(KORVAX_WINDOWS_DRIVER)
        target_compile_options(${target} PRIVATE
            -fno-threadsafe-statics -mno-stack-arg-probe -fno-asynchronous-unwind-tables)
        # Windows 2000/XP: nothing newer may be called.
        target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0501 NTDDI_VERSION=0x05010000)
    else()
        # 16-bit wchar_t, so that L"..." literals are WCHAR strings as on Windows.
        target_compile_options(${target} PRIVATE -fshort-wchar)
    endif()
endfunction()

# korvax_driver_image(<target>): link an executable target as a Windows x86 kernel
# driver image (<name>.sys): native subsystem, entry DriverEntry, no C or C++
# runtime, relocatable, importing from ntoskrnl.exe and HAL.dll only.
function(korvax_driver_image target)
    set_target_properties(${target} PROPERTIES SUFFIX ".sys")
    target_link_options(${target} PRIVATE
        -nostdlib
        -nostartfiles
        LINKER:--subsystem,native
        # stdcall DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING): 8 bytes of arguments.
        LINKER:--entry,_DriverEntry@8
        LINKER:--image-base,0x10000
        LINKER:--section-alignment,0x1000
        LINKER:--file-alignment,0x200
        # The loader relocates every driver: keep the base relocations.
        LINKER:--dynamicbase
        LINKER:--enable-reloc-section
        # Auto-imported data would need the C runtime's pseudo-relocation pass,
        # which a driver does not have: fail the link instead.
        LINKER:--disable-auto-import
        LINKER:--disable-runtime-pseudo-reloc
        # Loads on Windows 2000 (5.0) and later.
        LINKER:--major-os-version,5
        LINKER:--minor-os-version,0
        LINKER:--major-subsystem-version,5
        LINKER:--minor-subsystem-version,0)
    # libgcc supplies the compiler's own helpers (64-bit division, ...) and is
    # searched last, only for what is still undefined.
    target_link_libraries(${target} PRIVATE ntoskrnl hal gcc)
endfunction()

# korvax_object_list(<var> <object-library>): writes the paths of the library's
# object files, one per line, to a file in the binary directory and sets <var> to
# its path (the check scripts read it as @<path>; a test command cannot expand a
# generator-expression list into arguments).
function(korvax_object_list var objects)
    get_property(list TARGET ${objects} PROPERTY KORVAX_OBJECT_LIST)
    if(NOT list)
        set(list ${CMAKE_CURRENT_BINARY_DIR}/${objects}.objects)
        file(GENERATE OUTPUT ${list} CONTENT "$<JOIN:$<TARGET_OBJECTS:${objects}>,\n>\n")
        set_property(TARGET ${objects} PROPERTY KORVAX_OBJECT_LIST ${list})
    endif()
    set(${var} ${list} PARENT_SCOPE)
endfunction()

# korvax_static_ctor_check(<name> <object-library>): fail the build when an object
# of <object-library> has a static constructor, and register the same check as
# the CTest test <name>.
function(korvax_static_ctor_check name objects)
    korvax_object_list(list ${objects})
    set(command ${KORVAX_CHECK_DIR}/check-static-ctors.sh ${CMAKE_OBJDUMP}
        ${KORVAX_INSTRUMENTATION_CTORS} @${list})
    set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${name}.stamp)
    add_custom_command(
        OUTPUT ${stamp}
        COMMAND ${command}
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        DEPENDS ${objects} $<TARGET_OBJECTS:${objects}> ${KORVAX_CHECK_DIR}/check-static-ctors.sh
        COMMENT "Checking ${objects} for static constructors"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${stamp})
    add_test(NAME ${name} COMMAND ${command})
endfunction()
