// The test-only exports of foo_vek_ipc_test.dll, shared by the module (MinGW)
// and the test player (clang, Microsoft's ABI). Plain C: no headers needed.
#pragma once

// The error types the test variable's save_data can raise, in the order the
// test player tabulates them. Zero raises nothing.
enum component_error_kind {
  no_component_error,
  std_exception_error,
  bad_alloc_error,
  overflow_error,
  service_not_found_error,
  service_duplicated_error,
  io_error,
  io_data_error,
  io_data_truncation_error,
  aborted_error,
  component_error_kinds
};

// The GUID of both test variables, as its 16 bytes in memory and stream order.
inline constexpr unsigned char test_variable_key[16] = {0x5A, 0x1C, 0x7E, 0x90, 0x3B, 0x42, 0x4D, 0x11,
                                                        0x8F, 0x26, 0xC4, 0x09, 0xE1, 0x77, 0x3D, 0xA8};

// void raise_on_next_save(int kind): the next save_data raises `kind`; the
// request is used up when raised.
inline constexpr char raise_on_next_save_export[] = "vek_test_raise_on_next_save";
// unsigned take_loaded(char* destination, unsigned capacity): copies what the
// loadable variable read since the last call, each whole record followed by
// ';', zero-terminated, and forgets it. Returns the length copied.
inline constexpr char take_loaded_export[] = "vek_test_take_loaded";
