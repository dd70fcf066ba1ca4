// Values that cross the dispatch boundary. Texts inside are CP949 bytes;
// the boundary converts host UTF-8 and UTF-16 to them and back.
#pragma once

#include <cstdint>
#include <string>

namespace tessor {

enum class VT { EMPTY, BSTR, I2, UI2, I4, BOOL };

struct CVariant {
  VT vt = VT::EMPTY;
  std::string str;     // BSTR, CP949
  bool bNull = false;  // BSTR: an absent (null) text
  int32_t n = 0;       // I2, UI2, I4, BOOL (0 or 1)

  static CVariant Text(std::string s) {
    CVariant v;
    v.vt = VT::BSTR;
    v.str = std::move(s);
    return v;
  }
  static CVariant NullText() {
    CVariant v;
    v.vt = VT::BSTR;
    v.bNull = true;
    return v;
  }
  static CVariant I2(int16_t x) { return Int(VT::I2, x); }
  static CVariant UI2(uint16_t x) { return Int(VT::UI2, x); }
  static CVariant I4(int32_t x) { return Int(VT::I4, x); }
  static CVariant Bool(bool b) { return Int(VT::BOOL, b ? 1 : 0); }
  static CVariant Int(VT t, int32_t x) {
    CVariant v;
    v.vt = t;
    v.n = x;
    return v;
  }
  const char* TextOrNull() const { return bNull ? nullptr : str.c_str(); }
};

}  // namespace tessor
