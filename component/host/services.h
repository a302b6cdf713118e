// The service model: counted references, static singleton services and the
// factory records through which the player finds the component's services.
#pragma once

#include <cstdint>
#include <exception>
#include <utility>

#include "host/interfaces.h"
#include "platform/exception_bridge.h"

// Holds at most one counted reference. One pointer wide: the player writes it
// through create_service_instance and query_by_guid. Releasing may raise the
// player's error; a holder dropped while another error is on its way drops
// that second error, so the first one goes on.
class service_ref {
 public:
  constexpr service_ref() noexcept = default;
  service_ref(const service_ref&) = delete;
  service_ref& operator=(const service_ref&) = delete;
  ~service_ref() noexcept(false) {
    if (std::uncaught_exceptions() == 0) {
      reset();
      return;
    }
    try {
      reset();
    } catch (...) {
    }
  }

  // Takes over a reference the caller already owns, then releases the old one.
  void attach(service_base* object) {
    if (service_base* old = std::exchange(object_, object)) release(old);
  }
  void reset() {
    if (service_base* held = std::exchange(object_, nullptr)) release(held);
  }
  // Moves the reference out of `other` into this holder.
  void take_from(service_ref& other) { attach(std::exchange(other.object_, nullptr)); }

  service_base* get() const noexcept { return object_; }
  // The held service seen as interface T; the caller knows its class.
  template <class T>
  T* as() const noexcept {
    return static_cast<T*>(object_);
  }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  // The holder is already empty: whatever the player raises, nothing is released twice.
  static void release(service_base* object) {
    platform::call_player([object] { object->release(); });
  }

  service_base* object_ = nullptr;
};

// Wraps implementation T as a static singleton: counting does nothing and
// query_by_guid answers only for T's own interface class.
template <class T>
class service_impl_single_t final : public T {
 public:
  constexpr service_impl_single_t() noexcept = default;
  std::int32_t release() noexcept override { return 1; }
  std::int32_t add_reference() noexcept override { return 1; }
  bool query_by_guid(service_ref* out, const guid* id) override {
    if (!(*id == T::interface_type::class_id)) return false;
    add_reference();
    // Releasing what `out` held calls the player.
    platform::player_entry([&] { out->attach(this); });
    return true;
  }
};

// A factory record, read directly by the player: table, next_factory,
// class_guid, then the embedded static service. Linked once at module load.
class service_factory_base {
 public:
  virtual void create_instance(service_ref* out) = 0;

  service_factory_base* next_factory = nullptr;
  const guid* class_guid;

 protected:
  constexpr explicit service_factory_base(const guid* id) noexcept : class_guid(id) {}
  ~service_factory_base() = default;
};

// Head of the factory list; the last record linked is found first.
inline constinit service_factory_base* factory_list_head = nullptr;

// Binds a factory to the interface class I.
template <class I>
class service_factory_base_t : public service_factory_base {
 protected:
  constexpr service_factory_base_t() noexcept : service_factory_base(&I::class_id) {}
};

template <class T>
class service_factory_single_t : public service_factory_base_t<typename T::interface_type> {
 public:
  // Links the record in at the head of the list.
  service_factory_single_t() noexcept {
    this->next_factory = factory_list_head;
    factory_list_head = this;
  }
  void create_instance(service_ref* out) override {
    service.add_reference();
    platform::player_entry([&] { out->attach(&service); });
  }
  service_impl_single_t<T> service;
};

// The form in which an initquit implementation is registered.
template <class T>
class initquit_factory_t : public service_factory_single_t<T> {};

// Heap object shared by holders; the count changes only atomically.
// Slot 0 destroys the object and, when `free_memory` is 1, frees it.
class reference_counted_object {
 public:
  virtual void destroy(std::uint32_t free_memory) = 0;

  void add_reference() noexcept;
  // Count after the decrement; at zero the object has been destroyed.
  std::int32_t release() noexcept;

 protected:
  constexpr reference_counted_object() noexcept = default;
  ~reference_counted_object() = default;

 private:
  std::int32_t volatile count_ = 0;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(service_ref) == 4);
static_assert(sizeof(service_factory_base) == 12);
static_assert(sizeof(reference_counted_object) == 8);
#endif
