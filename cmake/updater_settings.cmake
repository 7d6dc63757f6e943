# The rules for the settings compiled into an updater, applied to every updater the build makes
# and, in script mode, by scripts/release.sh before it builds anything:
#   cmake -DUPDATER_MANIFEST_URL=URL [-DUPDATER_NETWORK_TIMEOUT_MS=MS] -P cmake/updater_settings.cmake

# Sets OUT to why URL and TIMEOUT_MS cannot be compiled in, or to "" when they can.
# The URL reaches the compiler as a C string in a compile definition, through CMake's lists, make
# and the shell: a backslash or a quote breaks the string, CMake drops a definition holding '#',
# ';' and an unbalanced '[' or ']' split or merge the definitions, make expands "$(...)". A blank,
# a control character or a non-ASCII byte is no URL character anyway (it must be percent-encoded).
function(updater_settings_problem url timeout_ms out)
  set(problem "")
  set(allowed "A-Za-z0-9._~:/?@!&'()*+,=%-")
  string(REGEX MATCH "[^${allowed}]" bad "${url}")
  if(url STREQUAL "")
    set(problem "UPDATER_MANIFEST_URL is empty")
  elseif(NOT bad STREQUAL "")
    if(bad MATCHES "^[!-~]$")
      set(bad "'${bad}'")
    elseif(bad STREQUAL " ")
      set(bad "a space")
    else()
      string(HEX "${bad}" bad)
      set(bad "the byte 0x${bad}")
    endif()
    set(problem "UPDATER_MANIFEST_URL \"${url}\" holds ${bad}, which cannot be compiled into the \
updater as written: a manifest URL may hold only letters, digits and -._~:/?@!&'()*+,=% \
(percent-encode anything else)")
  endif()
  string(LENGTH "${timeout_ms}" digits)
  if(NOT problem AND (NOT timeout_ms MATCHES "^[1-9][0-9]*$" OR digits GREATER 9))
    set(problem "UPDATER_NETWORK_TIMEOUT_MS \"${timeout_ms}\" is not a whole number of \
milliseconds from 1 to 999999999")
  endif()
  set(${out} "${problem}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED UPDATER_NETWORK_TIMEOUT_MS)
    set(UPDATER_NETWORK_TIMEOUT_MS 30000)  # only the URL is to be checked
  endif()
  updater_settings_problem("${UPDATER_MANIFEST_URL}" "${UPDATER_NETWORK_TIMEOUT_MS}" problem)
  if(problem)
    message(FATAL_ERROR "${problem}")
  endif()
endif()
