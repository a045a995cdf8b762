# Run by the build (cmake -P) for each image it signs: remakes IMAGE.signed
# with scripts/sign.sh unless the copy there is the one this build made from
# the present image, key and certificate. The build's own record of that,
# IMAGE.signed.made, holds the digests of all four files; a copy signed by
# hand, by another key, or changed in any way no longer matches it, so it is
# signed again instead of being installed as it is.
#
#   cmake -DIMAGE=... -DKEY=... -DCERT=... -DSIGN=scripts/sign.sh -P SignImage.cmake

foreach(variable IMAGE KEY CERT SIGN)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "SignImage.cmake needs -D${variable}=...")
  endif()
endforeach()

set(signed "${IMAGE}.signed")
set(record "${IMAGE}.signed.made")

function(digests OUT_VAR)
  set(text "")
  foreach(file "${IMAGE}" "${KEY}" "${CERT}" "${signed}")
    if(EXISTS "${file}")
      file(SHA256 "${file}" digest)
    else()
      set(digest none)
    endif()
    string(APPEND text "${digest}\n")
  endforeach()
  set(${OUT_VAR} "${text}" PARENT_SCOPE)
endfunction()

digests(present)
if(EXISTS "${record}")
  file(READ "${record}" made)
  if(made STREQUAL present)
    return()
  endif()
endif()

if(EXISTS "${signed}" AND EXISTS "${record}")
  message(STATUS "Signing ${IMAGE} again: ${signed} is not the copy this build made")
else()
  message(STATUS "Signing ${IMAGE}")
endif()
# The record goes first: a failed signing leaves none, so the next build
# tries again.
file(REMOVE "${record}")
execute_process(COMMAND "${SIGN}" --key "${KEY}" --cert "${CERT}" "${IMAGE}"
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "signing ${IMAGE} failed (sign.sh said why above)")
endif()
digests(present)
file(WRITE "${record}" "${present}")
