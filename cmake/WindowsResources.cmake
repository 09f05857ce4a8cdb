# The version information and the application manifest of the Windows programs.
#
# The version comes from project(... VERSION ...) alone: resources/version.h carries it to the
# .rc files, and each program's manifest is written from resources/program.manifest.in.

# Windows writes a version as four numbers.
foreach(part MAJOR MINOR PATCH TWEAK)
    set(REPOHOST_VERSION_${part} 0)
    if(NOT "${PROJECT_VERSION_${part}}" STREQUAL "")
        set(REPOHOST_VERSION_${part} ${PROJECT_VERSION_${part}})
    endif()
endforeach()
set(REPOHOST_VERSION_QUAD
    "${REPOHOST_VERSION_MAJOR}.${REPOHOST_VERSION_MINOR}.${REPOHOST_VERSION_PATCH}.${REPOHOST_VERSION_TWEAK}")
configure_file(${PROJECT_SOURCE_DIR}/resources/version.h.in ${REPOHOST_GENERATED_DIR}/version.h @ONLY)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(REPOHOST_MANIFEST_ARCHITECTURE amd64)
else()
    set(REPOHOST_MANIFEST_ARCHITECTURE x86)
endif()

# Adds <target>.rc of the calling folder to the target, with the manifest it names.
function(repohost_program_resources target)
    set(REPOHOST_PROGRAM_NAME ${target})
    set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
    configure_file(${PROJECT_SOURCE_DIR}/resources/program.manifest.in ${manifest} @ONLY)
    target_sources(${target} PRIVATE ${target}.rc)
    # The resource compiler finds program.rc, version.h and the manifest through these.
    target_include_directories(${target} PRIVATE
        ${PROJECT_SOURCE_DIR}/resources ${REPOHOST_GENERATED_DIR} ${CMAKE_CURRENT_BINARY_DIR})
    set_source_files_properties(${target}.rc PROPERTIES OBJECT_DEPENDS
        "${manifest};${REPOHOST_GENERATED_DIR}/version.h;${PROJECT_SOURCE_DIR}/resources/program.rc")
    if(MSVC)
        # The manifest comes from the .rc: the linker must not add one of its own.
        target_link_options(${target} PRIVATE /MANIFEST:NO)
    endif()
endfunction()
