# What every Linux cross build shares; a toolchain file sets CMAKE_SYSTEM_PROCESSOR and
# TUNEZAP_CROSS_PREFIX (the GNU triplet of Debian's cross compiler) and includes this.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TUNEZAP_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TUNEZAP_CROSS_PREFIX}-g++)

# The cross compiler's C library and headers; programs (cmake, ninja, the packaging tools) are the
# build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${TUNEZAP_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
