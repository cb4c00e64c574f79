# Makes the page one file: page.html with the style, the script and the core
# (the WebAssembly module, in base64) put in their places, and a
# Content-Security-Policy that lets the page run this script, this style and
# WebAssembly, and nothing else: no request for anything, anywhere.
#   cmake -DCORE=core.wasm -DSOURCE=<web folder> -DVERSION=<version> -DOUT=<page> -P embed.cmake
# Besides CMake it needs only coreutils' base64 and printf.
cmake_minimum_required(VERSION 3.22)  # and its policies: no @VAR@ references in arguments

# The CSP source that allows exactly this inline text: its SHA-256 in base64,
# which coreutils' printf and base64 make from the digest's hex digits.
function(csp_hash text out)
  string(SHA256 digest "${text}")
  string(REGEX REPLACE "(..)" "\\\\x\\1" bytes "${digest}")
  execute_process(COMMAND printf "${bytes}" COMMAND base64 -w0 OUTPUT_VARIABLE digest
                  COMMAND_ERROR_IS_FATAL ANY)
  set(${out} "'sha256-${digest}'" PARENT_SCOPE)
endfunction()

file(READ ${SOURCE}/page.html page)
file(READ ${SOURCE}/page.css style)
file(READ ${SOURCE}/page.js script)
execute_process(COMMAND base64 -w0 ${CORE} OUTPUT_VARIABLE core COMMAND_ERROR_IS_FATAL ANY)
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
