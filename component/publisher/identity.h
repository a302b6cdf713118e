// How the component names itself to the player. Stateless; the file name is
// whatever the player last passed to set_module_location.
#pragma once

#include "host/interfaces.h"

// Each answer is one set_text on the player's string and holds nothing, so an
// error the player raises there passes to the player untouched.
class componentversion_myimpl : public componentversion {
 public:
  using interface_type = componentversion;
  void file_name(pfc::string_base& out) override;
  void component_name(pfc::string_base& out) override;
  void component_version(pfc::string_base& out) override;
  void about_text(pfc::string_base& out) override;
};
