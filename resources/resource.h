// Resource ids shared by the resource script and the code.
#pragma once

#define IDI_APP 200
#define IDD_RESTART 500
#define IDC_RESTART_TEXT 501
#define IDC_RESTART_ICON 502
