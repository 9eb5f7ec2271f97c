// Localised messages S01 to S16.
#pragma once

#include "platform/win32.h"

#include <cstdint>

#define LANG_NONE 255

extern uint8_t g_lang;           // LANG index in use; 255 until chosen
extern uint8_t g_lang_fallback;  // 0 English, 1 French, 2 German, 3 Italian, 4 Spanish

// Puts message `number` (1 to 16) into `text` (256 bytes, UTF-8) and, when
// `wide` is given, its UTF-16 form into `wide` (256 units); returns `text`.
const char* load_message(unsigned number, char* text, WCHAR* wide = nullptr);
// LANG index of the user's default UI language.
uint8_t user_language_index();
// Fallback index (0 to 4) for an LCID.
uint8_t lcid_fallback(uint32_t lcid);
