# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads, as Qt's std::thread needs).
# The Qt for Windows prefix comes from LIAISON_QT_WINDOWS (cache variable or environment); the host Qt
# tools (moc, rcc, uic) come from QT_HOST_PATH, Debian's own Qt 6 of the same version.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_triplet}-windres)

if(NOT LIAISON_QT_WINDOWS AND DEFINED ENV{LIAISON_QT_WINDOWS})
    set(LIAISON_QT_WINDOWS "$ENV{LIAISON_QT_WINDOWS}")
endif()
set(LIAISON_QT_WINDOWS "${LIAISON_QT_WINDOWS}" CACHE PATH "Qt 6 built for x86_64-w64-mingw32")
if(NOT QT_HOST_PATH)
    set(QT_HOST_PATH /usr CACHE PATH "Host Qt 6 whose tools build for the target")
endif()
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${_triplet} ${LIAISON_QT_WINDOWS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
