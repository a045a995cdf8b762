# What a packager takes from the build: signed copies of the images for
# Secure Boot, when a key is given, and the install rules.
#
#   -DQUILLMERE_SIGN_KEY=db.key -DQUILLMERE_SIGN_CERT=db.crt
#
# signs every image through scripts/sign.sh into IMAGE.signed beside it
# (build/quillmerex64.efi.signed, build/quillmereaa64.efi.signed and so on
# for every architecture), with the
# same checks as by hand. Relative paths are taken from the top of the source
# tree. The key stays where it is: the build only reads it.

set(QUILLMERE_SIGN_KEY "" CACHE FILEPATH "Private key (PEM) that signs the images into IMAGE.signed; empty: no signing")
set(QUILLMERE_SIGN_CERT "" CACHE FILEPATH "Certificate (PEM) of QUILLMERE_SIGN_KEY")

set(QUILLMERE_SIGNED_FILES)
if(QUILLMERE_SIGN_KEY OR QUILLMERE_SIGN_CERT)
  if(NOT QUILLMERE_SIGN_KEY OR NOT QUILLMERE_SIGN_CERT)
    message(FATAL_ERROR "QUILLMERE_SIGN_KEY and QUILLMERE_SIGN_CERT go together: give both, or neither for unsigned images")
  endif()
  get_filename_component(sign_key "${QUILLMERE_SIGN_KEY}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
  get_filename_component(sign_cert "${QUILLMERE_SIGN_CERT}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
  # For the tests, which check the signed copies against it.
  set(QUILLMERE_SIGN_CERT_FILE "${sign_cert}")
  foreach(file "${sign_key}" "${sign_cert}")
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "QUILLMERE_SIGN_KEY / QUILLMERE_SIGN_CERT: no file at ${file}")
    endif()
  endforeach()
  # Checked at every build, not by file times: a signed copy written over by
  # hand is newer than the image and would otherwise be kept and installed.
  # cmake/SignImage.cmake signs only when the copy is not the one it made.
  set(sign_commands)
  foreach(image ${QUILLMERE_IMAGE_FILES})
    list(APPEND sign_commands
      COMMAND ${CMAKE_COMMAND} -DIMAGE=${image} -DKEY=${sign_key} -DCERT=${sign_cert}
              -DSIGN=${CMAKE_SOURCE_DIR}/scripts/sign.sh -P ${CMAKE_SOURCE_DIR}/cmake/SignImage.cmake)
    list(APPEND QUILLMERE_SIGNED_FILES "${image}.signed")
  endforeach()
  add_custom_target(quillmere_signed_images ALL ${sign_commands}
    BYPRODUCTS ${QUILLMERE_SIGNED_FILES}
    VERBATIM)
  # The images are the outputs of quillmere_image's rules: the signing waits
  # for them, so that it never reads an image while it is linked.
  add_dependencies(quillmere_signed_images quillmere_image)
endif()

# EFI binaries are not the host's: they go under lib/, not the host's
# multiarch library directory, as other packages ship theirs.
install(FILES ${QUILLMERE_IMAGE_FILES} ${QUILLMERE_SIGNED_FILES} DESTINATION lib/quillmere)
