// The tool's user-interface fonts, shared with the test probe that asks GDI
// which glyphs they can show.
#pragma once

// Arial, 15 pixels of cell height at 96 DPI, for the labels, the Update
// button and the log view. That is 13 pixels of character height (em); at
// other DPIs the font is asked for by its character height, which grows in
// proportion (a cell height would round the em up by a pixel at 150 %, and
// the title would no longer fit its label).
#define UI_FONT_FACE "Arial"
#define UI_FONT_HEIGHT_96 15
#define UI_FONT_EM_96 13
// The height argument of CreateFont for the font at a DPI.
#define UI_FONT_HEIGHT(dpi) ((dpi) == 96 ? UI_FONT_HEIGHT_96 : -MulDiv(UI_FONT_EM_96, (int)(dpi), 96))
// Any character set, not ANSI: with it Windows links in the glyphs Arial
// lacks (Chinese, Japanese, Hebrew, Arabic ...) from its fallback fonts.
#define UI_FONT_CHARSET DEFAULT_CHARSET
