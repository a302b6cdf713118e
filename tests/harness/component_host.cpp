#include "harness/component_host.h"

#include <gtest/gtest.h>

loaded_component::loaded_component() {
  if (!module_.handle()) ADD_FAILURE() << module_.problem();
}

void* loaded_component::enter(host_api* api) {
  void* client = module_.enter(api);
  if (!client) ADD_FAILURE() << module_.problem();
  return client;
}

void* loaded_component::service(const guid& class_id) {
  void* found = module_.service(class_id);
  if (!found) ADD_FAILURE() << module_.problem();
  return found;
}

process_result run_child(const wchar_t* mode) {
  process_result child = harness::run_process(harness::beside_this_program(L"child_host.exe") + L" " + mode);
  if (!child.started) ADD_FAILURE() << "cannot start child_host.exe: " << child.problem;
  return child;
}

std::optional<std::string> read_title() {
  const std::string report = run_child(L"title").output;
  bool valid = false;
  std::optional<std::string> title = harness::title_from_report(report, valid);
  EXPECT_TRUE(valid) << report;
  return title;
}
