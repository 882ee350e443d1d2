# What the executables and the installer say about the product: the version
# and the service's description from project(), written once into a header
# for the code and into a VERSIONINFO resource for each executable.

# The description goes unescaped into C string literals, a resource
# script, WiX attributes and a Windows Installer formatted column: none of
# them may meet a character one of those would read as syntax.
if(PROJECT_DESCRIPTION MATCHES "[][{}\"\\\\<>&$%']")
  message(FATAL_ERROR "The project description must hold none of [ ] { } \" \\ < > & $ % ' "
                      "(it is written unescaped into C, a resource script and WiX).")
endif()
# Windows Installer compares the first three fields, each at most
# 255.255.65535; a fourth would be ignored by upgrades.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$" OR PROJECT_VERSION_MAJOR GREATER 255
   OR PROJECT_VERSION_MINOR GREATER 255 OR PROJECT_VERSION_PATCH GREATER 65535)
  message(FATAL_ERROR "The project version must be MAJOR.MINOR.PATCH within 255.255.65535 "
                      "(Windows Installer's product version).")
endif()

set(QUORVEL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/product.h.in ${QUORVEL_GENERATED_DIR}/quorvel_product.h
               @ONLY)

# A VERSIONINFO resource for `target` with the given version (the product's;
# a test build may give another) and file description.
function(quorvel_version_resource target version description)
  string(REPLACE "." ";" fields "${version}")
  list(GET fields 0 QUORVEL_RC_MAJOR)
  list(GET fields 1 QUORVEL_RC_MINOR)
  list(GET fields 2 QUORVEL_RC_PATCH)
  set(QUORVEL_RC_VERSION "${version}")
  set(QUORVEL_RC_DESCRIPTION "${description}")
  get_target_property(QUORVEL_RC_NAME ${target} OUTPUT_NAME)
  if(NOT QUORVEL_RC_NAME)
    set(QUORVEL_RC_NAME ${target})
  endif()
  set(script ${QUORVEL_GENERATED_DIR}/${target}.version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${script} @ONLY)
  target_sources(${target} PRIVATE ${script})
endfunction()

# The helper's resources: its version and, the helper never asking for
# elevation itself (what --install and --uninstall achieve depends on the
# rights of whoever runs them), an asInvoker manifest.
function(quorvel_helper_resources target version)
  quorvel_version_resource(${target} ${version} "Quorvel Helper service")
  if(MSVC)
    target_link_options(${target} PRIVATE "/MANIFESTUAC:level='asInvoker' uiAccess='false'")
  else()
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/service/helper.manifest.rc)
  endif()
endfunction()
