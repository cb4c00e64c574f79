# Makes the page one file: page.html with the style, the script and the core
# (the WebAssembly module, in base64) put in their places, and a
# Content-Security-Policy that lets the page run this script, this style and
# WebAssembly, and nothing else: no request for anything, anywhere.
#   cmake -DCORE=core.wasm -DSOURCE=<web folder> -DVERSION=<version> -DOUT=<page> -P embed.cmake
# Only CMake itself is needed, so the page is made the same way on every host.
cmake_minimum_required(VERSION 3.22)  # and its policies: no @VAR@ references in arguments

# Base64 of the bytes written as `hex`, two digits a byte.
function(base64_of_hex hex out)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${hex}" digits)
  math(EXPR missing "(6 - ${digits} % 6) % 6")  # 0, 2 or 4 digits short of whole groups
  if(missing GREATER 0)
    string(REPEAT "0" ${missing} zeros)
    string(APPEND hex "${zeros}")
  endif()
  string(REGEX MATCHALL "......" groups "${hex}")
  set(text "")
  foreach(group IN LISTS groups)  # three bytes give four characters
    math(EXPR value "0x${group}")
    foreach(shift 18 12 6 0)
      math(EXPR index "(${value} >> ${shift}) & 63")
      string(SUBSTRING "${alphabet}" ${index} 1 char)
      string(APPEND text "${char}")
    endforeach()
  endforeach()
  if(missing GREATER 0)  # one '=' for each byte the last group lacks
    math(EXPR pads "${missing} / 2")
    math(EXPR kept "${digits} / 6 * 4 + 4 - ${pads}")
    string(SUBSTRING "${text}" 0 ${kept} text)
    string(REPEAT "=" ${pads} padding)
    string(APPEND text "${padding}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The CSP source that allows exactly this inline text.
function(csp_hash text out)
  string(SHA256 digest "${text}")
  base64_of_hex("${digest}" digest)
  set(${out} "'sha256-${digest}'" PARENT_SCOPE)
endfunction()

file(READ ${SOURCE}/page.html page)
file(READ ${SOURCE}/page.css style)
file(READ ${SOURCE}/page.js script)
file(READ ${CORE} core HEX)
base64_of_hex("${core}" core)
csp_hash("${style}" style_hash)
csp_hash("${script}" script_hash)
set(csp "default-src 'none'; script-src ${script_hash} 'wasm-unsafe-eval'; ")
string(APPEND csp "style-src ${style_hash}; base-uri 'none'; form-action 'none'")

# The script goes in last, so that nothing in it is taken for a marker.
string(REPLACE "@CSP@" "${csp}" page "${page}")
string(REPLACE "@VERSION@" "${VERSION}" page "${page}")
string(REPLACE "@CORE@" "${core}" page "${page}")
string(REPLACE "@STYLE@" "${style}" page "${page}")
string(REPLACE "@SCRIPT@" "${script}" page "${page}")
file(WRITE ${OUT} "${page}")
