# SPDX-License-Identifier: Apache-2.0
# --json output of probe, config, dio and examlog (nlohmann-json, header only).
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(vexokrt PRIVATE nlohmann_json::nlohmann_json)
