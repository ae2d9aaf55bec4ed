# Makes the timeline page's C++ text from its source files (run with cmake -P):
#   -DSOURCE_DIR=<folder of timeline.html, timeline.css, timeline.js> -DOUTPUT=<file.inc>
# The style and script are put into the markup, which is then cut at the data marker into
# kPageHead and kPageTail, two raw string literals.
file(READ ${SOURCE_DIR}/timeline.html html)
file(READ ${SOURCE_DIR}/timeline.css css)
file(READ ${SOURCE_DIR}/timeline.js js)

string(TOLOWER "${js}" lower_js)
string(FIND "${lower_js}" "</script" script_end)
string(FIND "${lower_js}" "<!--" comment_open)
if(NOT script_end EQUAL -1 OR NOT comment_open EQUAL -1)
    message(FATAL_ERROR "timeline.js must not contain \"</script\" or \"<!--\"")
endif()

string(REPLACE "/*@STYLE@*/" "${css}" html "${html}")
string(REPLACE "/*@SCRIPT@*/" "${js}" html "${html}")
set(marker "@TIMELINE_DATA@")
string(FIND "${html}" "${marker}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "timeline.html has no ${marker}")
endif()
string(LENGTH "${marker}" marker_length)
math(EXPR tail_start "${at} + ${marker_length}")
string(SUBSTRING "${html}" 0 ${at} head)
string(SUBSTRING "${html}" ${tail_start} -1 tail)
string(FIND "${html}" ")qzpage\"" clash)
if(NOT clash EQUAL -1)
    message(FATAL_ERROR "the page sources contain the raw-string end \")qzpage\"\"")
endif()

file(
    WRITE ${OUTPUT}.tmp
    "// Generated from timeline.html, timeline.css and timeline.js; do not edit.\n"
    "constexpr std::string_view kPageHead = R\"qzpage(${head})qzpage\";\n"
    "constexpr std::string_view kPageTail = R\"qzpage(${tail})qzpage\";\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
