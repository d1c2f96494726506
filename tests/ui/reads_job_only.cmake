# The window reads the document's job and asks the document for every change:
# the document's job() is read-only, and no file of the desktop program takes
# the writable job, nor casts the read-only one.
#   cmake -DSOURCES=<ui folder> -DDOCUMENT_HEADER=<tessolin_doc.h> -P reads_job_only.cmake
file(STRINGS ${DOCUMENT_HEADER} writable REGEX "^[ ]*ProcessingJob& job\\(\\)")
if(writable)
    message(FATAL_ERROR "${DOCUMENT_HEADER} gives the job to write as job(): ${writable}")
endif()
file(GLOB_RECURSE files ${SOURCES}/*.cpp ${SOURCES}/*.h)
foreach(file ${files})
    file(STRINGS ${file} lines REGEX "writableJob|const_cast<[^>]*ProcessingJob")
    if(lines)
        list(APPEND found "${file}: ${lines}")
    endif()
endforeach()
if(found)
    list(JOIN found "\n" text)
    message(FATAL_ERROR "The window writes the job:\n${text}")
endif()
