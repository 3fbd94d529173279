# Fails when LIBRARY's dynamic section needs one of FFmpeg's libraries.
execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "NEEDED\\)[^\n]*\\[[^]]*\\]" needed "${dynamic}")
if(NOT needed)
  message(FATAL_ERROR "${LIBRARY} lists no NEEDED entry: the check reads nothing")
endif()
string(REGEX MATCHALL "lib(avcodec|avformat|avutil|avdevice|avfilter|swscale|swresample)[^]]*"
  media "${needed}")
if(media)
  message(FATAL_ERROR "${LIBRARY} needs FFmpeg: ${media}")
endif()
