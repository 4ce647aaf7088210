# Pads the linked stub with zeros to the fixed image size, so that the settings block and the
# archive that a builder appends start at that offset. A stub that has outgrown the image
# fails the build.
#   cmake -DINPUT=linked.exe -DOUTPUT=sfx.exe -DIMAGE_SIZE=19968 -P pad_image.cmake
file(SIZE "${INPUT}" size)
math(EXPR spare "${IMAGE_SIZE} - ${size}")
message(STATUS "sfx.exe: ${size} bytes linked, ${spare} bytes to spare in the ${IMAGE_SIZE}-byte image")
if(size GREATER IMAGE_SIZE)
  message(FATAL_ERROR "sfx.exe is ${size} bytes, more than the ${IMAGE_SIZE}-byte image")
endif()
file(COPY_FILE "${INPUT}" "${OUTPUT}.tmp")
execute_process(COMMAND truncate -s ${IMAGE_SIZE} "${OUTPUT}.tmp" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot pad ${OUTPUT}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
