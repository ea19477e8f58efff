// Resource and control IDs shared by the resource script and the code.
#pragma once

#define IDD_ABOUTBOX 100
#define IDD_MORLIT_DIALOG 102
#define IDR_MAINFRAME 128
#define IDD_MESSAGE_DIALOG 129
#define IDC_EDIT_VHD_PATH 1000
#define IDC_BUTTON_BROWSE 1001
#define IDC_STATIC_MESSAGE 1002
#define IDM_ABOUTBOX 0x0010
