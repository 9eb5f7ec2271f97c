/* The restart prompt's dialog template: one definition, read by the resource
   script (through the preprocessor) and by the host's simulated dialog
   manager, so both build the same dialog. Coordinates are dialog units. */
#ifndef TESSEL_RESTART_DIALOG_H
#define TESSEL_RESTART_DIALOG_H

#include "resources/resource.h"

#define RESTART_DLG_CAPTION "Orvex Tessel Keyboard Firmware Updater"
#define RESTART_DLG_STYLE (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT)
#define RESTART_DLG_X 0
#define RESTART_DLG_Y 0
#define RESTART_DLG_W 207
#define RESTART_DLG_H 68
#define RESTART_DLG_FONT_NAME "Arial"
#define RESTART_DLG_FONT_SIZE 10
#define RESTART_DLG_LANGUAGE 1033

/* Control classes: names for C++, the predefined class ordinals for the
   resource compiler (as a template made from "Static" and "Button" holds them). */
#ifdef RC_INVOKED
#define RESTART_DLG_CLASS_STATIC 0x0082
#define RESTART_DLG_CLASS_BUTTON 0x0080
#else
#define RESTART_DLG_CLASS_STATIC "Static"
#define RESTART_DLG_CLASS_BUTTON "Button"
#endif

/* X(id, class, text, icon_ordinal, style, x, y, w, h)
   icon_ordinal is not 0 for a static control that shows an icon by ordinal
   instead of a text. */
#define RESTART_DLG_CONTROLS(X)                                                                              \
    X(IDC_RESTART_ICON, RESTART_DLG_CLASS_STATIC, "", 32515, WS_CHILD | WS_VISIBLE | SS_ICON, 7, 7, 32, 32)  \
    X(IDC_RESTART_TEXT, RESTART_DLG_CLASS_STATIC, "Text", 0, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 47, \
      7, 153, 40)                                                                                            \
    X(IDCANCEL, RESTART_DLG_CLASS_BUTTON, "Cancel", 0, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,   \
      7, 47, 90, 14)                                                                                         \
    X(IDOK, RESTART_DLG_CLASS_BUTTON, "OK", 0, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 110,   \
      47, 90, 14)

#endif
