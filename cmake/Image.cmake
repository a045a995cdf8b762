# The freestanding EFI builds of the same sources, one image per architecture
# of scripts/machines.txt, linked as its Link field says: clang++ for the
# Windows target (PE/COFF objects, the UEFI calling convention) and
# lld-link; or, where no linker here writes a PE file the firmware loads,
# clang++ for a bare ELF target, ld.lld and scripts/elf2efi.py. CMake drives
# one toolchain per build tree, so these steps are custom commands beside the
# host build.

find_program(QUILLMERE_CLANG NAMES clang++ clang++-14 REQUIRED)
find_program(QUILLMERE_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(QUILLMERE_LD_LLD NAMES ld.lld ld.lld-14 REQUIRED)
# scripts/pack_headers.py runs after every lld-link link, scripts/elf2efi.py
# after every ld.lld one; both use nothing beyond Python itself.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The architectures an image is built for, their compile flags and how each
# is linked: scripts/machines.txt, read by cmake/Machines.cmake.
include(${CMAKE_SOURCE_DIR}/cmake/Machines.cmake)

# Optimized for size: -Os makes a smaller image than -O2, and also than -Oz,
# which keeps the small format wrappers as functions of their own (more code
# and a deeper stack). No floating-point or vector register anywhere
# (firmware may run applications with that unit off, and never saves its
# state for them; each architecture's flags in the table say how), no stack
# protector and no stack probes
# (there is no runtime to provide either), no runtime library headers; build
# paths are kept out of the objects so the image is the same wherever it is
# built. -fstack-usage leaves each function's frame size in a .su file beside
# its object, for scripts/image-report.sh; it does not change the code.
set(QUILLMERE_IMAGE_FLAGS
  -std=c++20 -Os
  -ffreestanding -nostdlibinc
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -mno-stack-arg-probe
  -fshort-wchar
  -fno-ident -g0 -fstack-usage
  # Each function and datum in a section of its own, so that the link keeps
  # only what is called: ValueToDigits, whose digits the engine writes inline,
  # does not reach the image.
  -ffunction-sections -fdata-sections
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
  -Wall -Wextra -Werror
  -I${CMAKE_SOURCE_DIR}/include
  -I${CMAKE_SOURCE_DIR}/format
)
# Each architecture's own target flags are QUILLMERE_COMPILE_<arch>, from
# the table of machines, with the reason for each there.
# With eight general registers and its 64-bit widths and precisions in
# register pairs, the engine is markedly smaller at -Oz than at -Os there
# (docs/size-and-stack.md has the numbers). The other sources are smaller at
# -Os, where their small wrappers are inlined. Flags for one source of one
# architecture are named QUILLMERE_IMAGE_FLAGS_<arch>_<source, "/" as "_">.
set(QUILLMERE_IMAGE_FLAGS_ia32_format_RenderFormat.cpp -Oz)

# Compiles SOURCES freestanding for ARCH into objects under OUTPUT_DIR, each
# with its .su file beside it (none for a source without functions); the
# object paths are returned in OUT_VAR.
function(quillmere_image_objects OUT_VAR ARCH OUTPUT_DIR)
  file(MAKE_DIRECTORY "${OUTPUT_DIR}")
  set(objects)
  foreach(source ${ARGN})
    string(REPLACE "/" "_" stem "${source}")
    set(object "${OUTPUT_DIR}/${stem}.obj")
    # The compiler lists the headers each object was made from, so that a
    # changed header rebuilds the objects that include it.
    add_custom_command(
      OUTPUT "${object}"
      COMMAND ${QUILLMERE_CLANG} ${QUILLMERE_IMAGE_FLAGS} ${QUILLMERE_COMPILE_${ARCH}} ${QUILLMERE_IMAGE_FLAGS_${ARCH}_${stem}} -MD -MF "${object}.d" -c "${CMAKE_SOURCE_DIR}/${source}"
              -o "${object}"
      DEPENDS "${CMAKE_SOURCE_DIR}/${source}"
      DEPFILE "${object}.d"
      WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
      COMMENT "Compiling ${source} for the ${ARCH} image"
      VERBATIM)
    list(APPEND objects "${object}")
  endforeach()
  set(${OUT_VAR} ${objects} PARENT_SCOPE)
endfunction()

# Links OBJECTS into an EFI application for ARCH with entry ENTRY: no default
# libraries, so anything the objects need and do not define, a memcpy the
# compiler emitted included, fails the link. The read-only data goes into
# .text after the code: with .text, .data, .sbat and .reloc the headers fit in
# 512 bytes once scripts/pack_headers.py has dropped lld-link's DOS program,
# and one section less is padded to the 512-byte file alignment. The
# writable .data stays apart from the code. A fixed header time stamp keeps
# the image reproducible without /Brepro, which would add a debug directory.
# The image carries no symbols; OUTPUT.map beside it tells where each function
# landed.
function(quillmere_link_image OUTPUT ARCH ENTRY)
  if(QUILLMERE_LINK_ELF_${ARCH})
    quillmere_link_elf_image("${OUTPUT}" ${ARCH} ${ENTRY} ${ARGN})
    return()
  endif()
  add_custom_command(
    OUTPUT "${OUTPUT}"
    BYPRODUCTS "${OUTPUT}.map"
    COMMAND ${QUILLMERE_LLD_LINK} /nologo /machine:${QUILLMERE_LINK_MACHINE_${ARCH}} /subsystem:efi_application /entry:${ENTRY}
            /nodefaultlib /dynamicbase /timestamp:0 /merge:.rdata=.text /map:${OUTPUT}.map /out:${OUTPUT} ${ARGN}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/pack_headers.py ${OUTPUT}
    DEPENDS ${ARGN} ${CMAKE_SOURCE_DIR}/scripts/pack_headers.py
    COMMENT "Linking ${OUTPUT}"
    VERBATIM)
endfunction()

# Links OBJECTS for ARCH as a static position-independent ELF, OUTPUT.elf
# (kept: the image checks disassemble it, since no disassembler here reads a
# RISC-V PE file), and writes the EFI application from it with
# scripts/elf2efi.py. cmake/ARCH.ld lays out the segments as the PE
# sections; --apply-dynamic-relocs leaves each relative relocation's value
# in place too, so the PE sections hold the segments' bytes as they are. No
# build ID, so the image is the same wherever it is built.
function(quillmere_link_elf_image OUTPUT ARCH ENTRY)
  set(script "${CMAKE_SOURCE_DIR}/cmake/${ARCH}.ld")
  add_custom_command(
    OUTPUT "${OUTPUT}"
    BYPRODUCTS "${OUTPUT}.elf" "${OUTPUT}.map"
    COMMAND ${QUILLMERE_LD_LLD} -pie --no-dynamic-linker --apply-dynamic-relocs --gc-sections --build-id=none
            -T ${script} -e ${ENTRY} -Map=${OUTPUT}.map -o ${OUTPUT}.elf ${ARGN}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/elf2efi.py ${OUTPUT}.elf ${OUTPUT}
    DEPENDS ${ARGN} ${script} ${CMAKE_SOURCE_DIR}/scripts/elf2efi.py
    COMMENT "Linking ${OUTPUT}"
    VERBATIM)
endfunction()

# One image per architecture from the same sources, named as distributions
# name EFI binaries: build/quillmere<arch>.efi. Each image's objects are listed one a line, relative to the build tree, in
# IMAGE.objects for the size and stack report.
set(QUILLMERE_IMAGE_FILES)
foreach(arch ${QUILLMERE_ARCHITECTURES})
  quillmere_image_objects(objects ${arch} "${CMAKE_BINARY_DIR}/image/${arch}"
    ${QUILLMERE_FORMAT_SOURCES} ${QUILLMERE_REPORT_SOURCES}
    # shim's SBAT data, in the images only: the host library has no use for it.
    app/SbatSection.cpp)
  set(image "${CMAKE_BINARY_DIR}/quillmere${arch}.efi")
  set(objects_text "")
  foreach(object ${objects})
    file(RELATIVE_PATH relative "${CMAKE_BINARY_DIR}" "${object}")
    string(APPEND objects_text "${relative}\n")
  endforeach()
  file(WRITE "${image}.objects" "${objects_text}")
  quillmere_link_image("${image}" ${arch} ApplicationEntry ${objects})
  set(QUILLMERE_IMAGE_FILE_${arch} "${image}")
  list(APPEND QUILLMERE_IMAGE_FILES "${image}")
endforeach()
add_custom_target(quillmere_image ALL DEPENDS ${QUILLMERE_IMAGE_FILES})
