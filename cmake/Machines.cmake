# The table of machines, scripts/machines.txt, as CMake reads it. For each
# architecture (an entry whose Name is its Architecture) it sets
#   QUILLMERE_ARCHITECTURES          the architectures, in the table's order
#   QUILLMERE_BOOT_FILE_<arch>       its removable-media boot file
#   QUILLMERE_PE_MACHINE_<arch>      the PE machine field its firmware loads
#   QUILLMERE_COMPILE_<arch>         clang++'s target flags for its image
#   QUILLMERE_LINK_MACHINE_<arch>    lld-link's /machine, or
#   QUILLMERE_LINK_ELF_<arch>        ON where ld.lld and scripts/elf2efi.py link it
set(QUILLMERE_MACHINES_TABLE "${CMAKE_SOURCE_DIR}/scripts/machines.txt")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${QUILLMERE_MACHINES_TABLE}")
# file(STRINGS) would drop the empty lines that end the entries, so the
# table is split by hand, its own semicolons kept from splitting the list.
file(READ "${QUILLMERE_MACHINES_TABLE}" table)
string(REPLACE ";" "\\;" table "${table}")
string(REPLACE "\n" ";" lines "${table}")
set(QUILLMERE_ARCHITECTURES)
set(name "")
foreach(line IN LISTS lines ITEMS "")
  if(line MATCHES "^#")
    continue()
  endif()
  if(line MATCHES "^[ \t]*$")
    set(name "")
    continue()
  endif()
  if(NOT line MATCHES "^([A-Za-z-]+):[ \t]*(.*)$")
    message(FATAL_ERROR "scripts/machines.txt: not a 'Field: value' line: ${line}")
  endif()
  set(field "${CMAKE_MATCH_1}")
  string(STRIP "${CMAKE_MATCH_2}" value)
  if(field STREQUAL "Name")
    set(name "${value}")
  elseif(field STREQUAL "Architecture" AND value STREQUAL name)
    list(APPEND QUILLMERE_ARCHITECTURES "${name}")
  elseif(field STREQUAL "Boot-File")
    set(QUILLMERE_BOOT_FILE_${name} "${value}")
  elseif(field STREQUAL "PE-Machine")
    set(QUILLMERE_PE_MACHINE_${name} "${value}")
  elseif(field STREQUAL "Compile")
    separate_arguments(QUILLMERE_COMPILE_${name} UNIX_COMMAND "${value}")
  elseif(field STREQUAL "Link")
    if(value STREQUAL "elf")
      set(QUILLMERE_LINK_ELF_${name} ON)
    elseif(value MATCHES "^lld-link (.+)$")
      set(QUILLMERE_LINK_MACHINE_${name} "${CMAKE_MATCH_1}")
    else()
      message(FATAL_ERROR "scripts/machines.txt: ${name}: Link is 'lld-link MACHINE' or 'elf', not '${value}'")
    endif()
  endif()
endforeach()
