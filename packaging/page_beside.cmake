# Read by cpack after it has made its packages (CPACK_POST_BUILD_SCRIPTS):
# the page, gen_tarsilp6.html, goes into the folder where the packages are
# put, so that the packages and the page of one build lie together, ready
# to publish. The page is the same file whatever the packages' platform.
if(NOT EXISTS "${CPACK_GEN_TARSILP6_PAGE}")
  message(FATAL_ERROR "The page ${CPACK_GEN_TARSILP6_PAGE} has not been built")
endif()
file(COPY "${CPACK_GEN_TARSILP6_PAGE}" DESTINATION "${CPACK_PACKAGE_DIRECTORY}")
