/* Resource and control ids of tessaly.exe. Plain macros: the resource script includes this file
   too. */
#ifndef TESSALY_UI_RESOURCE_H
#define TESSALY_UI_RESOURCE_H

#include "ui/framework/FrameworkIds.h"

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_TESSALY_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_COMMAND 1000
#define IDC_KEY0 1001
#define IDC_DEVICE_NUMBER 1002
#define IDC_PATH_NUMBER 1003
#define IDC_GROUP_PATH 1004
#define IDC_DATA_LOG 1008
#define IDC_KEY1 1009
#define IDC_KEY2 1010
#define IDC_KEY3 1011
#define IDC_KEY4 1012
#define IDC_KEY5 1013
#define IDC_KEY6 1014
#define IDC_KEY7 1015
#define IDC_STATUS_INFO 1016
#define IDC_GROUP_CHECK 1017
#define IDC_GROUP_START 1018
#define IDC_GROUP_END 1019
#define IDC_CLEAR_PR_KEYS 1021

#define IDM_ABOUTBOX 0x0010

#endif
