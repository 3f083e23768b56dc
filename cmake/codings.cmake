# The libraries of the content codings --web compresses text to: zlib for
# gzip, brotli's encoder for br, zstd. Each is optional, as OpenSSL is: a
# build without one leaves its coding out (src/output/squeeze_<coding>_none.cpp
# in place of squeeze_<coding>.cpp) and says so.
#
# In: TAVI_SOURCES. Out: TAVI_SOURCES less the files of the other variant,
# the target tavicodings (headers and libraries, to link), TAVI_GZIP, TAVI_BR,
# TAVI_ZSTD (found or not) and TAVI_BROTLIDEC (the decoder, for the tests).

# The static program takes the archives: a shared library found first would
# leave it depending on a .so (or, for MinGW, a DLL).
if(TAVI_STATIC)
    set(ZLIB_USE_STATIC_LIBS TRUE)
endif()

# Library `name` as the program links it: lib<name>.a for the static one.
function(tavi_codings_lib var name)
    if(TAVI_STATIC)
        find_library(${var} NAMES lib${name}.a)
    else()
        find_library(${var} NAMES ${name})
    endif()
endfunction()

add_library(tavicodings INTERFACE)
find_package(ZLIB)
set(TAVI_GZIP ${ZLIB_FOUND})
if(TAVI_GZIP)
    target_link_libraries(tavicodings INTERFACE ZLIB::ZLIB)
else()
    message(WARNING "No zlib (zlib1g-dev): this tavi sends no gzip")
endif()

find_path(TAVI_BROTLI_INCLUDE brotli/encode.h)
tavi_codings_lib(TAVI_BROTLIENC brotlienc)
tavi_codings_lib(TAVI_BROTLIDEC brotlidec)
tavi_codings_lib(TAVI_BROTLICOMMON brotlicommon)
if(TAVI_BROTLI_INCLUDE AND TAVI_BROTLIENC AND TAVI_BROTLICOMMON)
    set(TAVI_BR TRUE)
    # The encoder's archive needs the common one after it.
    target_include_directories(tavicodings INTERFACE ${TAVI_BROTLI_INCLUDE})
    target_link_libraries(tavicodings INTERFACE ${TAVI_BROTLIENC} ${TAVI_BROTLICOMMON})
else()
    set(TAVI_BR FALSE)
    message(WARNING "No brotli encoder (libbrotli-dev): this tavi sends no br")
endif()

find_path(TAVI_ZSTD_INCLUDE zstd.h)
tavi_codings_lib(TAVI_ZSTDLIB zstd)
if(TAVI_ZSTD_INCLUDE AND TAVI_ZSTDLIB)
    set(TAVI_ZSTD TRUE)
    target_include_directories(tavicodings INTERFACE ${TAVI_ZSTD_INCLUDE})
    target_link_libraries(tavicodings INTERFACE ${TAVI_ZSTDLIB})
else()
    set(TAVI_ZSTD FALSE)
    message(WARNING "No zstd (libzstd-dev): this tavi sends no zstd")
endif()

foreach(code gzip br zstd)
    string(TOUPPER ${code} upper)
    if(TAVI_${upper})
        list(FILTER TAVI_SOURCES EXCLUDE REGEX "src/output/squeeze_${code}_none\\.cpp$")
    else()
        list(FILTER TAVI_SOURCES EXCLUDE REGEX "src/output/squeeze_${code}\\.cpp$")
    endif()
endforeach()
