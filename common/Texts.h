// The one table of the system's Korean texts (log refusals, box texts,
// captions, help strings), held as CP949 bytes. A text with a '%' is a
// format: it is used only through the functions below, which check the
// arguments it expects; a host or server text is never used as a format.
#pragma once

#include <string>

namespace tessor {

enum TextId {
  TEXT_REFUSE_EXTNO,
  TEXT_REFUSE_AID_LOGIN,
  TEXT_REFUSE_PWD,
  TEXT_REFUSE_TENANT_LOGIN,
  TEXT_REFUSE_AID,
  TEXT_REFUSE_TENANT,
  TEXT_REFUSE_CALLID,
  TEXT_REFUSE_ANI,
  TEXT_REFUSE_DNIS,
  TEXT_REFUSE_DESC,
  TEXT_REFUSE_START,
  TEXT_REFUSE_NAME,
  TEXT_REFUSE_CID,
  TEXT_REFUSE_CTEL,
  TEXT_REFUSE_INFO1,
  TEXT_REFUSE_INFO2,
  TEXT_REFUSE_INFO3,
  TEXT_REFUSE_INFO4,
  TEXT_REFUSE_INFO5,
  TEXT_NO_LINK,
  TEXT_NO_CALLID,
  TEXT_LOGOUT_ALARM,
  TEXT_CAPTION_WARNING,
  TEXT_CAPTION_ERROR,
  TEXT_LOGIN_RESULT_0,
  TEXT_LOGIN_RESULT_1,
  TEXT_LOGIN_RESULT_2,
  TEXT_LOGIN_RESULT_4,
  TEXT_LOGIN_RESULT_5,
  TEXT_LOGIN_RESULT_6,
  TEXT_LOGIN_RESULT_7,
  TEXT_HELP_LIBRARY,
  TEXT_HELP_DISPATCH,
  TEXT_HELP_EVENTS,
  TEXT_HELP_METHOD_PREFIX,
  TEXT_PROPPAGE_CAPTION,
  TEXT_PROPPAGE_STATIC,
  TEXT_DIALOG_FONT,
  TEXT_COUNT
};

enum TextArgs { TEXT_ARGS_NONE, TEXT_ARGS_INT, TEXT_ARGS_TWO_TEXTS };

struct STextEntry {
  TextId id;
  TextArgs args;
  const char* szCp949;
  const char* szUtf8;  // the same text, readable, for tests and tools
};

extern const STextEntry g_texts[TEXT_COUNT];

// The CP949 bytes of a text.
const char* GetText(TextId id);
// Formats a text that expects one number; any other text is returned as is.
std::string FormatText(TextId id, int n);
// Formats a text that expects two texts; any other text is returned as is.
std::string FormatText(TextId id, const char* s1, const char* s2);

}  // namespace tessor
