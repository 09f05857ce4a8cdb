# Java sources compiled for Java 8 (the JREs of 32-bit Windows) into a class directory of their
# own, emptied and compiled anew whenever a source changes:
#   repohost_java_classes(<stamp> <class directory> SOURCES <file>... [CLASSPATH <dir>]
#                         [DEPENDS <file>...] COMMENT <text>)
# <stamp> is the file the custom command makes; a target that depends on it builds the classes.
find_program(REPOHOST_JAVAC javac
    HINTS /usr/lib/jvm/java-17-openjdk-amd64/bin ENV JAVA_HOME PATH_SUFFIXES bin
    NO_CMAKE_FIND_ROOT_PATH REQUIRED)

function(repohost_java_classes stamp classes)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "CLASSPATH;COMMENT" "SOURCES;DEPENDS")
    set(classpath)
    if(arg_CLASSPATH)
        set(classpath -cp ${arg_CLASSPATH})
    endif()
    add_custom_command(OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${classes}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${classes}
        COMMAND ${REPOHOST_JAVAC} --release 8 -Xlint:all -Xlint:-options -Werror -encoding UTF-8
                ${classpath} -d ${classes} ${arg_SOURCES}
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        DEPENDS ${arg_SOURCES} ${arg_DEPENDS}
        COMMENT "${arg_COMMENT}"
        VERBATIM)
endfunction()
