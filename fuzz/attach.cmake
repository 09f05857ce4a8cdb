# For a configure with -DCMAKE_PROJECT_INCLUDE=<this file>: defines the fuzz targets in a tree
# whose top CMakeLists.txt does not add fuzz/ itself, once the top directory has defined the
# host's targets. Does nothing when REPOHOST_FUZZ is off or fuzz/ has been added already.
if(REPOHOST_FUZZ)
    set(REPOHOST_FUZZ_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
    function(repohost_attach_fuzz)
        if(NOT TARGET fuzz_params)
            include(${REPOHOST_FUZZ_SOURCE_DIR}/targets.cmake)
        endif()
    endfunction()
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL repohost_attach_fuzz)
endif()
