# The hardening a distribution gives a security tool, applied to every target of the build (the
# helper, the tests, the benchmarks and the fuzzers), so what the tests exercise is what ships.
# scripts/check-hardening.sh reads the built binary and fails when any of it is missing.

# Position-independent executables, so address-space layout randomisation covers the program
# itself and not only its libraries (CMP0083: the -pie link flag follows this property).
include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong -fstack-clash-protection)
# glibc's checked string and memory functions need the optimiser to see object sizes, and glibc
# warns when the macro is set without it. A packager's CPPFLAGS may set the level already
# (dpkg-buildflags does); a second, different definition would only draw a redefinition warning.
if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
    add_compile_options($<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()

# Full RELRO: every relocation is resolved at start, then the GOT is made read-only, so a write
# through a stray pointer cannot redirect a library call. No executable stack, ever.
add_link_options(-Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    # Indirect-branch tracking and shadow-stack compatibility: every object compiled here gets
    # the landing pads and the property note. Debian 12's glibc is built without CET, so its
    # start files (Scrt1.o, crti.o, crtn.o) carry no note and the linker would drop the property
    # for the whole program; they are the only objects without it once OpenSSL and SQLite are
    # linked shared (check with -Wl,-z,cet-report=warning), so the link marks it explicitly.
    # Whether the protection is enforced is decided at run time by the kernel and the loader,
    # which also require every shared library loaded to carry the note.
    add_compile_options(-fcf-protection=full)
    add_link_options(-Wl,-z,ibt -Wl,-z,shstk)
endif()
