# Each fuzz target and what it links; wsr37100_fuzz_target() is defined by the
# build that includes this: a libFuzzer program, or a replay test.
wsr37100_fuzz_target(decoders wsr37100_core)
wsr37100_fuzz_target(telnet wsr37100_core)
wsr37100_fuzz_target(port_names wsr37100_core)
if(TARGET wsr37100_service_parsers)
  wsr37100_fuzz_target(service_config wsr37100_service_parsers wsr37100_core wsr37100_tools_json)
  wsr37100_fuzz_target(query wsr37100_service_parsers)
endif()
