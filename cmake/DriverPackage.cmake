# The test-signed driver package, made by the default build where the
# Windows toolchain, osslsigncode and openssl are found:
#   package/x86/ and package/x64/, each with
#     qvsimdm.sys        the port driver, Authenticode-signed (SHA-256) with a test certificate
#     qvsimdm.inf        its installation INF (Ports class, on the bus driver's child)
#     qvusbbus.sys       the bus driver for USB CDC-ACM modems, signed the same way
#     qvusbbus.inf       its installation INF (System class, on the USB device)
#     qvsimdm-test.cer   the test certificate (DER) to trust on the test machine
# The certificate and its key are generated once per build tree, in
# package-signing/ (never in the source tree, never in the package). The
# certificate says in its name that it is a test certificate: production
# signing is out of scope.
#
# The tests DriverPackage.<dir> check each directory (tools/package/check_package.cpp);
# where something is missing they report themselves skipped (exit code 77).

find_program(QV_OSSLSIGNCODE osslsigncode)
find_program(QV_OPENSSL openssl)

add_executable(check_package ${CMAKE_SOURCE_DIR}/tools/package/check_package.cpp
                             ${CMAKE_SOURCE_DIR}/tools/package/inf.cpp)

set(_qv_signing_dir ${CMAKE_BINARY_DIR}/package-signing)
set(_qv_test_key ${_qv_signing_dir}/qvsimdm-test.key)
set(_qv_test_pem ${_qv_signing_dir}/qvsimdm-test.pem)
set(_qv_test_cer ${_qv_signing_dir}/qvsimdm-test.cer)
set(QV_TEST_CERTIFICATE_SUBJECT "/CN=qvsimdm Test Certificate (test signing only, not for release)")

if(QV_OSSLSIGNCODE AND QV_OPENSSL)
  add_custom_command(
    OUTPUT ${_qv_test_key} ${_qv_test_pem} ${_qv_test_cer}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_qv_signing_dir}
    COMMAND ${QV_OPENSSL} req -x509 -newkey rsa:3072 -nodes -days 3650 -sha256
            -subj ${QV_TEST_CERTIFICATE_SUBJECT}
            -addext "keyUsage=critical,digitalSignature"
            -addext "extendedKeyUsage=codeSigning"
            -addext "basicConstraints=critical,CA:FALSE"
            -keyout ${_qv_test_key} -out ${_qv_test_pem}
    COMMAND ${QV_OPENSSL} x509 -in ${_qv_test_pem} -outform der -out ${_qv_test_cer}
    COMMENT "Generating the test signing certificate"
    VERBATIM)
  # One target owns the rule, so that parallel package builds never run it twice.
  add_custom_target(qvsimdm_test_certificate DEPENDS ${_qv_test_key} ${_qv_test_pem} ${_qv_test_cer})
endif()

function(_qv_add_driver_package arch dir)
  set(test_name DriverPackage.${dir})
  set(skip_reason "")
  if(NOT TARGET qvsimdm_sys_${arch} OR NOT TARGET qvusbbus_sys_${arch})
    set(skip_reason "the Windows ${arch} driver is not built")
  elseif(NOT QV_OSSLSIGNCODE)
    set(skip_reason "osslsigncode not found (Debian package osslsigncode)")
  elseif(NOT QV_OPENSSL)
    set(skip_reason "openssl not found (Debian package openssl)")
  endif()
  if(skip_reason)
    message(STATUS "Driver package (${dir}): not made, ${skip_reason}")
    add_test(NAME ${test_name} COMMAND check_package --skip "${skip_reason}")
    set_tests_properties(${test_name} PROPERTIES SKIP_RETURN_CODE 77 LABELS windows)
    return()
  endif()

  set(outdir ${CMAKE_BINARY_DIR}/package/${dir})
  set(unsigned ${CMAKE_BINARY_DIR}/windows/${arch}/qvsimdm.sys)
  set(unsigned_bus ${CMAKE_BINARY_DIR}/windows/${arch}/qvusbbus.sys)
  set(sign ${QV_OSSLSIGNCODE} sign -certs ${_qv_test_pem} -key ${_qv_test_key} -h sha256)
  set(outputs ${outdir}/qvsimdm.sys ${outdir}/qvsimdm.inf ${outdir}/qvusbbus.sys ${outdir}/qvusbbus.inf
              ${outdir}/qvsimdm-test.cer)
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${outdir}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${outdir}/qvsimdm.sys ${outdir}/qvusbbus.sys
    COMMAND ${sign} -n "qvsimdm USB modem serial port driver (test signed)"
            -in ${unsigned} -out ${outdir}/qvsimdm.sys
    COMMAND ${sign} -n "qvusbbus USB CDC-ACM modem bus driver (test signed)"
            -in ${unsigned_bus} -out ${outdir}/qvusbbus.sys
    COMMAND ${CMAKE_COMMAND} -E copy ${QV_DRIVER_INF} ${outdir}/qvsimdm.inf
    COMMAND ${CMAKE_COMMAND} -E copy ${QV_BUS_INF} ${outdir}/qvusbbus.inf
    COMMAND ${CMAKE_COMMAND} -E copy ${_qv_test_cer} ${outdir}/qvsimdm-test.cer
    DEPENDS ${unsigned} ${unsigned_bus} ${QV_DRIVER_INF} ${QV_BUS_INF} ${_qv_test_pem} ${_qv_test_key}
            ${_qv_test_cer}
    COMMENT "Test-signing the ${dir} driver package"
    VERBATIM)
  add_custom_target(qvsimdm_package_${dir} ALL DEPENDS ${outputs})
  add_dependencies(qvsimdm_package_${dir} qvsimdm_sys_${arch} qvusbbus_sys_${arch} qvsimdm_test_certificate)

  add_test(NAME ${test_name}
           COMMAND check_package --dir ${outdir} --osslsigncode ${QV_OSSLSIGNCODE} --openssl ${QV_OPENSSL})
  set_tests_properties(${test_name} PROPERTIES LABELS windows)
  message(STATUS "Driver package (${dir}): ${outdir}")
endfunction()

_qv_add_driver_package(i686 x86)
_qv_add_driver_package(x64 x64)
