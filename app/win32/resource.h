#pragma once
// Resource and control IDs of the Windows desktop program. The same numbers
// name the controls in the Qt program's forms and in the tests.

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_TAGSMITH_DIALOG 102
#define IDR_MAINFRAME 128
#define IDD_DLG_CH1 129
#define IDD_DLG_CH2 130
#define IDD_DLG_CH3 131
#define IDD_DLG_LISTID 132

#define IDM_ABOUTBOX 0x0010

#define IDC_BTN_CLOSE 1000
#define IDC_RADIO_WRITE 1001
#define IDC_RADIO_READ 1002
#define IDC_TAB_PAGES 1003
#define IDC_BTN_IDFILE 1004
#define IDC_EDIT_IDFILE 1005
#define IDC_EDIT_CURID 1007
#define IDC_BTN_MANUAL 1008
#define IDC_BTN_AUTO 1009
#define IDC_EDIT_LOG 1010
#define IDC_EDIT_SCANID 1011
#define IDC_BTN_WRITE 1012
#define IDC_STATIC_SCAN 1013
#define IDC_RADIO_INCREASE 1014
#define IDC_RADIO_DECREASE 1015
#define IDC_STATIC_PREFIX 1016
#define IDC_STATIC_COUNTER 1017
#define IDC_STATIC_SUFFIX 1018
#define IDC_EDIT_PREFIX 1020
#define IDC_EDIT_COUNTER 1021
#define IDC_EDIT_SUFFIX 1022
#define IDC_STATIC_CURID 1023
#define IDC_EDIT_FILTER 1025
#define IDC_LIST_IDS 1026
#define IDC_BTN_CHOOSE 1027
#define IDC_BTN_CLEARLOG 1028
// The column right of the template: last result, counts, progress bar, and
// the trainer's panel (--simulate).
#define IDC_STATIC_RESULT 1030
#define IDC_STATIC_COUNTS 1031
#define IDC_PROGRESS 1032
#define IDC_GROUP_BENCH 1040
#define IDC_BTN_BENCH_BLANK 1041
#define IDC_BTN_BENCH_KEPT 1042
#define IDC_BTN_BENCH_DISK 1043
#define IDC_BTN_BENCH_UNPLUG 1044
#define IDC_STATIC_BENCH_FAULT 1045
#define IDC_COMBO_BENCH_FAULT 1046
#define IDC_STATIC_BENCH_MESSAGE 1047
#define IDC_CHECK_GANG 1033
#define IDC_LIST_PORTS 1034
#define IDC_STATIC (-1)
