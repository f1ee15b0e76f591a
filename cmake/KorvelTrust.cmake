# What a build of the launcher trusts: the two hosts, the signing key of release bundles and,
# on macOS, the code-signing verifier and the requirement it checks. All of it is compiled in;
# nothing is read at run time.
#
# One switch decides the kind of trust, never CMAKE_BUILD_TYPE:
# - development trust (KORVEL_RELEASE_TRUST=OFF, the dev presets, the tests and the demo):
#   placeholder hosts and, unless a key is given, a throwaway key pair made once in the build
#   tree, whose private half the tests sign with;
# - release trust (ON, the package preset): the studio's hosts and public key are required,
#   and nothing the launcher trusts may live in the build tree.
option(KORVEL_RELEASE_TRUST "Release trust: the studio's hosts and signing key are required (OFF: development trust)" OFF)

set(korvel_placeholder_web_host "www.korvel.example")
set(korvel_placeholder_download_host "downloads.korvel.example")
if(KORVEL_RELEASE_TRUST)
  set(korvel_default_web_host "")
  set(korvel_default_download_host "")
else()
  set(korvel_default_web_host ${korvel_placeholder_web_host})
  set(korvel_default_download_host ${korvel_placeholder_download_host})
endif()
set(KORVEL_WEB_HOST "${korvel_default_web_host}" CACHE STRING "Host that serves the release manifest")
set(KORVEL_DOWNLOAD_HOST "${korvel_default_download_host}" CACHE STRING "Approved host that serves release files")
set(KORVEL_SIGNING_PUBLIC_KEY "" CACHE FILEPATH
  "PEM file with the Ed25519 public key that release bundles must be signed with")
set(KORVEL_SIGNING_TEST_PRIVATE_KEY "" CACHE FILEPATH
  "PEM private key matching KORVEL_SIGNING_PUBLIC_KEY; only the tests sign with it")
if(APPLE)
  set(KORVEL_CODESIGN_TOOL "/usr/bin/codesign" CACHE FILEPATH
    "Code-signing verifier run as: <tool> --verify --deep --strict [-R=<requirement>] <app>")
  set(KORVEL_CODESIGN_REQUIREMENT "" CACHE STRING
    "Code requirement the game bundle must meet, e.g. anchor apple generic and certificate leaf[subject.OU] = \"TEAMID\"")
endif()

if(KORVEL_WEB_HOST STREQUAL KORVEL_DOWNLOAD_HOST AND KORVEL_WEB_HOST)
  message(FATAL_ERROR "KORVEL_WEB_HOST and KORVEL_DOWNLOAD_HOST must differ")
endif()

# Whether path lies inside this build tree, where release trust never looks.
function(korvel_inside_build_tree path result)
  cmake_path(ABSOLUTE_PATH path BASE_DIRECTORY "${CMAKE_BINARY_DIR}" NORMALIZE OUTPUT_VARIABLE absolute)
  cmake_path(IS_PREFIX CMAKE_BINARY_DIR "${absolute}" NORMALIZE inside)
  set(${result} ${inside} PARENT_SCOPE)
endfunction()

if(KORVEL_RELEASE_TRUST)
  set(missing "")
  if(NOT KORVEL_WEB_HOST OR KORVEL_WEB_HOST STREQUAL korvel_placeholder_web_host)
    list(APPEND missing "KORVEL_WEB_HOST (the host that serves https://<host>/online-beta/manifest.json)")
  endif()
  if(NOT KORVEL_DOWNLOAD_HOST OR KORVEL_DOWNLOAD_HOST STREQUAL korvel_placeholder_download_host)
    list(APPEND missing "KORVEL_DOWNLOAD_HOST (the approved host that serves the release files)")
  endif()
  # macOS launchers verify with the system's codesign; the key serves the release tools there.
  if(NOT KORVEL_SIGNING_PUBLIC_KEY AND (NOT APPLE OR KORVEL_BUILD_TOOLS))
    list(APPEND missing "KORVEL_SIGNING_PUBLIC_KEY (PEM file of the Ed25519 public key, from korvel-release keygen)")
  endif()
  if(APPLE AND NOT KORVEL_CODESIGN_REQUIREMENT)
    list(APPEND missing "KORVEL_CODESIGN_REQUIREMENT (the code requirement, e.g. anchor apple generic and certificate leaf[subject.OU] = \"TEAMID\")")
  endif()
  if(missing)
    list(JOIN missing "\n  -D" missing)
    message(FATAL_ERROR "Release trust (KORVEL_RELEASE_TRUST=ON) needs these cache variables, which are not set:\n  -D${missing}")
  endif()
  foreach(variable KORVEL_SIGNING_PUBLIC_KEY KORVEL_CODESIGN_TOOL)
    if(${variable})
      korvel_inside_build_tree("${${variable}}" inside)
      if(inside)
        message(FATAL_ERROR "${variable} is inside the build tree (${${variable}}): release trust never "
                            "trusts what a build made or holds; name a file outside ${CMAKE_BINARY_DIR}")
      endif()
    endif()
  endforeach()
  if(APPLE AND NOT IS_ABSOLUTE "${KORVEL_CODESIGN_TOOL}")
    message(FATAL_ERROR "KORVEL_CODESIGN_TOOL must be an absolute path, not ${KORVEL_CODESIGN_TOOL}")
  endif()
endif()

# The public key compiled into the launcher and the tools (korvel_signing_public_key_pem), and
# the private key the tests sign with (korvel_signing_test_private_key; empty when none).
set(korvel_signing_public_key_file "${KORVEL_SIGNING_PUBLIC_KEY}")
set(korvel_signing_test_private_key "${KORVEL_SIGNING_TEST_PRIVATE_KEY}")
if(NOT KORVEL_SIGNING_PUBLIC_KEY AND NOT KORVEL_RELEASE_TRUST)
  # Made once per build directory; the private key never leaves the build tree, and a bundle
  # signed with it is trusted by this build only.
  find_program(KORVEL_OPENSSL_CLI openssl REQUIRED)
  set(key_dir ${CMAKE_BINARY_DIR}/throwaway-signing-key)
  set(korvel_signing_public_key_file ${key_dir}/korvel-signing-public.pem)
  set(korvel_signing_test_private_key ${key_dir}/korvel-signing-private.pem)
  if(NOT EXISTS ${korvel_signing_public_key_file})
    file(MAKE_DIRECTORY ${key_dir})
    execute_process(
      COMMAND ${KORVEL_OPENSSL_CLI} genpkey -algorithm ed25519 -out ${korvel_signing_test_private_key}
      COMMAND_ERROR_IS_FATAL ANY)
    execute_process(
      COMMAND ${KORVEL_OPENSSL_CLI} pkey -in ${korvel_signing_test_private_key} -pubout
              -out ${korvel_signing_public_key_file}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  message(STATUS "Development trust: release bundles must be signed with the throwaway key in ${key_dir}")
endif()

set(korvel_signing_public_key_pem "")
if(korvel_signing_public_key_file)
  file(READ ${korvel_signing_public_key_file} korvel_signing_public_key_pem)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${korvel_signing_public_key_file})
  if(NOT korvel_signing_public_key_pem MATCHES "^-----BEGIN PUBLIC KEY-----")
    message(FATAL_ERROR "${korvel_signing_public_key_file} is not a PEM public key")
  endif()
endif()
