# Writes SHA256SUMS beside the installed files named in REPOHOST_SUMS_FILES, in the format that
# `sha256sum -c SHA256SUMS` reads: the hash, two blanks, the file name, a line feed.
set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(sums "")
foreach(name IN LISTS REPOHOST_SUMS_FILES)
    file(SHA256 "${dir}/${name}" hash)
    string(APPEND sums "${hash}  ${name}\n")
endforeach()
message(STATUS "Writing: ${dir}/SHA256SUMS")
file(WRITE "${dir}/SHA256SUMS" "${sums}")
