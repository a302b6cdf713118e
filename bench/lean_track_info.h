// Track information with one value per field that records nothing, so a
// benchmark measures only the component's own work, and two typical tracks.
// Its lookup answers a name it handed out by identity, before comparing texts:
// the player's search is the player's cost, not the component's.
#pragma once

#include <cstring>
#include <utility>
#include <vector>

#include "host/interfaces.h"

class lean_track_info final : public track_info {
 public:
  lean_track_info(std::vector<std::pair<const char*, const char*>> fields, double length)
      : fields_(std::move(fields)), length_(length) {}
  double length_seconds() const override { return length_; }
  void unused_slot_1() override {}
  void unused_slot_2() override {}
  void unused_slot_3() override {}
  std::uint32_t field_count() const override { return static_cast<std::uint32_t>(fields_.size()); }
  const char* field_name(std::uint32_t field) const override { return fields_[field].first; }
  std::uint32_t field_value_count(std::uint32_t) const override { return 1; }
  const char* field_value(std::uint32_t field, std::uint32_t) const override { return fields_[field].second; }
  std::uint32_t find_field(const char* name, std::uint32_t) const override {
    for (std::uint32_t i = 0; i < fields_.size(); ++i)
      if (fields_[i].first == name) return i;
    for (std::uint32_t i = 0; i < fields_.size(); ++i)
      if (std::strcmp(fields_[i].first, name) == 0) return i;
    return no_field;
  }

 private:
  std::vector<std::pair<const char*, const char*>> fields_;
  double length_;
};

// Seven fields each, as a tagged album track has them.
inline const lean_track_info album_track({{"title", "Army of Me"},
                                          {"artist", "Bj\xC3\xB6rk"},
                                          {"album", "Post"},
                                          {"tracknumber", "1"},
                                          {"date", "1995"},
                                          {"genre", "Electronic"},
                                          {"rating", "4"}},
                                         234.2);
inline const lean_track_info next_album_track({{"title", "Hyperballad"},
                                               {"artist", "Bj\xC3\xB6rk"},
                                               {"album", "Post"},
                                               {"tracknumber", "4"},
                                               {"date", "1995"},
                                               {"genre", "Electronic"},
                                               {"rating", "5"}},
                                              321.0);
