# Pads the linked stub with zeros to the fixed image size, so that the settings block and the
# archive that a builder appends start at that offset. A stub that has outgrown the image, or
# that leaves fewer than MIN_SPARE bytes of it free, fails the build.
#   cmake -DINPUT=linked.exe -DOUTPUT=sfx.exe -DIMAGE_SIZE=19968 [-DMIN_SPARE=1024] [-DTEST_BUILD=ON]
#         -P pad_image.cmake
# A little-endian 32-bit number of the file at offset.
function(read32 offset out)
  file(READ "${INPUT}" hex OFFSET ${offset} LIMIT 4 HEX)
  string(SUBSTRING "${hex}" 6 2 b3)
  string(SUBSTRING "${hex}" 4 2 b2)
  string(SUBSTRING "${hex}" 2 2 b1)
  string(SUBSTRING "${hex}" 0 2 b0)
  math(EXPR value "0x${b3}${b2}${b1}${b0}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

file(SIZE "${INPUT}" size)
if(TEST_BUILD)
  # The x86_64 test build (win32/CMakeLists.txt) has a larger image of its own, which only has
  # to hold it.
  message(STATUS "sfx.exe (x86_64 test build): ${size} bytes linked, padded to ${IMAGE_SIZE}")
  if(size GREATER IMAGE_SIZE)
    message(FATAL_ERROR "the x86_64 test build outgrows its ${IMAGE_SIZE}-byte image")
  endif()
else()
  # What the program really holds: the headers' file space, then the one section's contents
  # (its virtual size) before the padding to the file alignment.
  read32(60 peHeader)
  math(EXPR sectionTable "${peHeader} + 24 + 224")
  math(EXPR virtualSizeAt "${sectionTable} + 8")
  math(EXPR rawDataAt "${sectionTable} + 20")
  read32(${virtualSizeAt} contents)
  read32(${rawDataAt} headers)
  math(EXPR used "${headers} + ${contents}")
  math(EXPR spare "${IMAGE_SIZE} - ${used}")
  message(STATUS "sfx.exe: ${size} bytes linked (${used} used, ${spare} to spare in the ${IMAGE_SIZE}-byte image)")
  if(size GREATER IMAGE_SIZE)
    math(EXPR over "${used} - ${IMAGE_SIZE}")
    message(FATAL_ERROR "sfx.exe does not fit the ${IMAGE_SIZE}-byte image: its code and data "
                        "must shrink by ${over} bytes or more")
  elseif(MIN_SPARE AND spare LESS MIN_SPARE)
    math(EXPR short "${MIN_SPARE} - ${spare}")
    message(FATAL_ERROR "sfx.exe leaves ${spare} bytes of its image free, fewer than the "
                        "${MIN_SPARE} kept for fixes: its code and data must shrink by ${short} "
                        "bytes or more")
  endif()
endif()
file(COPY_FILE "${INPUT}" "${OUTPUT}.tmp")
execute_process(COMMAND truncate -s ${IMAGE_SIZE} "${OUTPUT}.tmp" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot pad ${OUTPUT}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
