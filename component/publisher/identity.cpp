#include "publisher/identity.h"

#include <cstring>

#include "host/module.h"
#include "vek_version.h"

namespace {

template <std::size_t N>
void answer(pfc::string_base& out, const char (&text)[N]) {
  out.set_text(text, N - 1);
}

}  // namespace

void componentversion_myimpl::file_name(pfc::string_base& out) {
  const char* name = module_file_name.text();
  out.set_text(name, std::strlen(name));
}

void componentversion_myimpl::component_name(pfc::string_base& out) { answer(out, "VEK IPC"); }

void componentversion_myimpl::component_version(pfc::string_base& out) { answer(out, VEK_VERSION); }

void componentversion_myimpl::about_text(pfc::string_base& out) {
  answer(out, "IPC plugin for XMPP PEP Events publisher @ ZEB IM");
}
