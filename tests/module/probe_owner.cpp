// The vendor stand-ins define this too: the one they reach tells how the module
// bound them (the program exports its symbols).
extern "C" __attribute__((visibility("default"))) const char* pyxon_probe_owner() {
  return "host";
}
