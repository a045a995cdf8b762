# The freestanding x86-64 EFI build of the same sources: clang++ for the
# Windows target (PE/COFF objects, Microsoft calling convention) and lld-link.
# CMake drives one toolchain per build tree, so these steps are custom
# commands beside the host build.

find_program(QUILLMERE_CLANG NAMES clang++ clang++-14 REQUIRED)
find_program(QUILLMERE_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)

# Optimized for size: -Os makes a smaller image than -O2, and also than -Oz,
# which keeps the small format wrappers as functions of their own (more code
# and a deeper stack). No SSE or x87 (firmware may run applications with them
# off), no red zone (interrupt handlers share the stack), no stack probes, no
# runtime library headers; build paths are kept out of the objects so the
# image is the same wherever it is built. -fstack-usage leaves each
# function's frame size in a .su file beside its object, for
# scripts/image-report.sh; it does not change the code.
set(QUILLMERE_IMAGE_FLAGS
  -target x86_64-unknown-windows
  -std=c++20 -Os
  -ffreestanding -nostdlibinc
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -mno-stack-arg-probe
  -mno-red-zone -mgeneral-regs-only -fshort-wchar
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

# Compiles SOURCES freestanding into objects under OUTPUT_DIR, each with its
# .su file beside it (none for a source without functions); the object paths
# are returned in OUT_VAR.
function(quillmere_image_objects OUT_VAR OUTPUT_DIR)
  file(MAKE_DIRECTORY "${OUTPUT_DIR}")
  set(objects)
  foreach(source ${ARGN})
    string(REPLACE "/" "_" stem "${source}")
    set(object "${OUTPUT_DIR}/${stem}.obj")
    # The compiler lists the headers each object was made from, so that a
    # changed header rebuilds the objects that include it.
    add_custom_command(
      OUTPUT "${object}"
      COMMAND ${QUILLMERE_CLANG} ${QUILLMERE_IMAGE_FLAGS} -MD -MF "${object}.d" -c "${CMAKE_SOURCE_DIR}/${source}"
              -o "${object}"
      DEPENDS "${CMAKE_SOURCE_DIR}/${source}"
      DEPFILE "${object}.d"
      WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
      COMMENT "Compiling ${source} for the image"
      VERBATIM)
    list(APPEND objects "${object}")
  endforeach()
  set(${OUT_VAR} ${objects} PARENT_SCOPE)
endfunction()

# Links OBJECTS into an EFI application with entry ENTRY: no default
# libraries, so anything the objects need and do not define, a memcpy the
# compiler emitted included, fails the link. The read-only data goes into
# .text after the code: with .text, .data and .reloc the headers fit in 512
# bytes, and one section less is padded to the 512-byte file alignment. The
# writable .data stays apart from the code. A fixed header time stamp keeps
# the image reproducible without /Brepro, which would add a debug directory.
# The image carries no symbols; OUTPUT.map beside it tells where each function
# landed.
function(quillmere_link_image OUTPUT ENTRY)
  add_custom_command(
    OUTPUT "${OUTPUT}"
    BYPRODUCTS "${OUTPUT}.map"
    COMMAND ${QUILLMERE_LLD_LINK} /nologo /subsystem:efi_application /entry:${ENTRY}
            /nodefaultlib /dynamicbase /timestamp:0 /merge:.rdata=.text /map:${OUTPUT}.map /out:${OUTPUT} ${ARGN}
    DEPENDS ${ARGN}
    COMMENT "Linking ${OUTPUT}"
    VERBATIM)
endfunction()

quillmere_image_objects(QUILLMERE_IMAGE_OBJECTS "${CMAKE_BINARY_DIR}/image"
  ${QUILLMERE_FORMAT_SOURCES} ${QUILLMERE_REPORT_SOURCES})

set(QUILLMERE_IMAGE_FILE "${CMAKE_BINARY_DIR}/quillmere.efi")
# The objects linked into the image, one a line relative to the build tree,
# for the size and stack report.
set(objects_text "")
foreach(object ${QUILLMERE_IMAGE_OBJECTS})
  file(RELATIVE_PATH relative "${CMAKE_BINARY_DIR}" "${object}")
  string(APPEND objects_text "${relative}\n")
endforeach()
file(WRITE "${QUILLMERE_IMAGE_FILE}.objects" "${objects_text}")
quillmere_link_image("${QUILLMERE_IMAGE_FILE}" ApplicationEntry ${QUILLMERE_IMAGE_OBJECTS})
add_custom_target(quillmere_image ALL DEPENDS "${QUILLMERE_IMAGE_FILE}")
