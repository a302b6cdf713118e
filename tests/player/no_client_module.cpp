// A module whose export hands the player no client at all.
extern "C" __declspec(dllexport) void* __cdecl foobar2000_get_interface(void*, void*) { return nullptr; }
