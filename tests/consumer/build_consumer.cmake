# Configures, builds and runs the consumer project against a Korvel source tree.
# cmake -DKORVEL_SOURCE_DIR=<tree> -DCONSUMER_BINARY_DIR=<dir> -DCONSUMER_GENERATOR=<generator>
#       -DCONSUMER_CXX_COMPILER=<compiler> -P build_consumer.cmake
foreach(variable KORVEL_SOURCE_DIR CONSUMER_BINARY_DIR CONSUMER_GENERATOR CONSUMER_CXX_COMPILER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${CMAKE_CURRENT_LIST_DIR}" -B "${CONSUMER_BINARY_DIR}"
          -G "${CONSUMER_GENERATOR}" "-DCMAKE_CXX_COMPILER=${CONSUMER_CXX_COMPILER}"
          "-DKORVEL_SOURCE_DIR=${KORVEL_SOURCE_DIR}"
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${CONSUMER_BINARY_DIR}" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CONSUMER_BINARY_DIR}/korvel-consumer" COMMAND_ERROR_IS_FATAL ANY)
