# Run by cpack once it has made its archives, just before it copies them to
# where they go (CPACK_PACKAGE_DIRECTORY): gives each one its line in
# SHA256SUMS there, in place of the line of an earlier archive of that name,
# so that `sha256sum -c SHA256SUMS` there checks every archive made.
set(sums "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS")
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${archive}" NAME)
  set(kept "")
  if(EXISTS "${sums}")
    file(STRINGS "${sums}" lines)
    foreach(line IN LISTS lines)
      # The hash, a blank, a blank or "*" (binary mode), the name.
      string(REGEX REPLACE "^[0-9a-fA-F]+ [ *]" "" listed "${line}")
      if(NOT listed STREQUAL name)
        string(APPEND kept "${line}\n")
      endif()
    endforeach()
  endif()
  file(SHA256 "${archive}" hash)
  file(WRITE "${sums}.new" "${kept}${hash}  ${name}\n")
  file(RENAME "${sums}.new" "${sums}")
endforeach()
