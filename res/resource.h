// Every resource id of the window program: the resource library PgRes.dll
// (strings, menus, accelerators, dialogs, bitmaps, cursor) and the few
// resources of quorvex.exe itself. The .rc files and the shell's code both
// include this header, so windres and the compiler see the same numbers.
#pragma once

// ---- quorvex.exe's own resources ---------------------------------------------
#define IDI_PROGRAM 200
#define IDS_PRODUCT_NAME 1  // message-box caption

// ---- Menus and accelerators ----------------------------------------------------
#define IDM_MAIN 304       // main menu; the accelerator table has the same id
#define IDA_MAIN 304
#define IDM_LIST_POPUP 303  // sub-menu 0: file-list context menu
#define IDM_TREE_POPUP 347  // sub-menu 0: volume-tree context menu

// ---- Dialogs -------------------------------------------------------------------
#define IDD_SEARCH_BAR 331
#define IDD_UNDELETE_DESTINATION 333
#define IDD_UNDELETE_PROGRESS 332
#define IDD_UNDELETE_REPORT 301
#define IDD_DESTINATION 400
#define IDD_ALTERNATE_LOCATION 345
// Search panel: the tabbed pane and its three pages.
#define IDD_SEARCH_PANEL 410
#define IDD_PAGE_NAME 411
#define IDD_PAGE_DATE 412
#define IDD_PAGE_OWNER 413
// Information dialogs of the Help menu, commands 40048 to 40054 in order.
#define IDD_INFO_GETTING_STARTED 989
#define IDD_INFO_NTFS 349
#define IDD_INFO_FAT 340
#define IDD_INFO_DESTINATION 337
#define IDD_INFO_TIPS 350
#define IDD_INFO_SAFETY 342
#define IDD_INFO_ABOUT 346

// ---- Bitmaps and cursor --------------------------------------------------------
// Volume-tree images, in image-list order.
#define IDB_TREE_COMPUTER 108
#define IDB_TREE_VOLUME 106
#define IDB_TREE_FOLDER 105
#define IDB_TREE_FOLDER_OPEN 104
#define IDB_TREE_FOLDER_DELETED 382
#define IDB_TREE_FILE 383
#define IDB_TREE_WATERMARK 387
#define IDC_SPLITTER 103

// ---- Commands ------------------------------------------------------------------
#define CMD_STATUS_REFRESH 1525
#define CMD_FOREGROUND 1526
#define CMD_SHOW_ON_REQUEST 1531
#define CMD_SEARCH_NEWS 1560  // the search worker has conditions or deep-scan files to show
#define CMD_REFRESH_ALL 40001
#define CMD_CONNECT 40002
#define CMD_START_SEARCH 40003
#define CMD_STOP_LISTING 40004
#define CMD_EXIT 40005
#define CMD_LIST_FOLDER 40006
#define CMD_HELP_TOPICS 40007
#define CMD_UNDELETE 40009
#define CMD_UNDELETE_TO 40010
#define CMD_VOLUME_PROPERTIES 40011
#define CMD_FILTER_EXTENSION 40033
#define CMD_SEARCH_THIS_FOLDER 40034
#define CMD_FILTER_NAME 40035
#define CMD_SEARCH_PANEL 40039
#define CMD_COLLAPSE_TREE 40047
#define CMD_INFO_FIRST 40048  // 40048 .. 40054: the information dialogs
#define CMD_INFO_LAST 40054
#define CMD_SERVICE_OPTION 40055
#define CMD_STARTUP 40901
// The preview pane under the file list
#define CMD_PREVIEW_PANE 40070   // View: show or hide it
#define CMD_PREVIEW_FOCUS 40071  // Alt+P: into it (shown first when hidden)

// ---- Dialog controls -----------------------------------------------------------
// Search bar (331)
#define IDC_SB_BROWSE 1001
#define IDC_SB_SEARCH 1002
#define IDC_SB_UNDELETE 1003
#define IDC_SB_STOP 1004
#define IDC_SB_CLOSE 1005
#define IDC_SB_HELP_PATTERN 1074
#define IDC_SB_HELP_FOLDER 1075
#define IDC_SB_PATTERN 1102
#define IDC_SB_FOLDER 1104
#define IDC_SB_SUBFOLDERS 1105
// Undelete destination (333)
#define IDC_UD_BROWSE 1001
#define IDC_UD_FOLDER 1108
#define IDC_UD_REPORT 1130
// Undelete progress (332)
#define IDC_UP_BAR 1106
#define IDC_UP_TEXT 1070
// Undelete report (301)
#define IDC_UR_LIST 1068
// Destination (400)
#define IDC_DS_ALTERNATE 1113
#define IDC_DS_STATUS 1117
// Alternate location (345)
#define IDC_AL_VOLUME 1077
#define IDC_AL_FOLDERS 1078
#define IDC_AL_PATH 1084
#define IDC_AL_NEW_FOLDER 1110
#define IDC_AL_FROM_DISK_HELP 1125
#define IDC_AL_NAME 1201
#define IDC_AL_HELP 9
// Search panel (410) and its pages (411 to 413)
#define IDC_SP_TABS 1028
#define IDC_SP_SEARCH 1022
#define IDC_SP_STOP 1023
#define IDC_SP_CLOSE 1024
#define IDC_PN_PATTERN 1012
#define IDC_PN_BROWSE 1013
#define IDC_PN_FOLDER 1018
#define IDC_PN_SUBFOLDERS 1127
#define IDC_PD_FROM 1005
#define IDC_PD_TO 1006
#define IDC_PD_KIND 1008
#define IDC_PD_ON 1009
#define IDC_PD_LAST_DAYS 1010
#define IDC_PD_SPIN 1014
#define IDC_PD_BETWEEN 1016
#define IDC_PD_DAYS 1021
#define IDC_PD_DAYS_LABEL 1025
#define IDC_PD_AND_LABEL 1026
#define IDC_PO_DELETER 1011
#define IDC_PO_DELETER_ON 1017
#define IDC_PO_OWNER_ON 1019
#define IDC_PO_OWNER 1020
// Information dialogs
#define IDC_INFO_TEXT 1200

// ---- Strings of the resource library -------------------------------------------
#define IDS_COL_NAME 1  // 1 .. 10: file-list column titles
#define IDS_INSTANCE_CAPTION 11
#define IDS_REFRESH_ALL_CAPTION 24
#define IDS_REFRESH_ALL_TEXT 26
#define IDS_TITLE_FORMAT 123         // %s (product title) - %s (computer)
#define IDS_SEARCH_TITLE_FORMAT 124  // %s (search title) %c: %s (machine)
#define IDS_WINDOW_TITLE 131
#define IDS_PRODUCT_TITLE 132
#define IDS_SEARCH_TITLE 133
#define IDS_NOT_ADMINISTRATOR 137
#define IDS_ALREADY_RUNNING 339
#define IDS_TREE_TITLE 394
#define IDS_LIST_TITLE 393
#define IDS_STATUS_READY 319
#define IDS_LONG_PATHS 420         // %d: found paths longer than the list shows
#define IDS_DESTINATION_ON_VOLUME 421
#define IDS_DRIVE_REMOTE 107            // the drive kinds a search refuses
#define IDS_DRIVE_CDROM 109
#define IDS_DRIVE_RAMDISK 110
#define IDS_DRIVE_NOT_FOUND 111
#define IDS_SEARCH_CAPTION 144
#define IDS_LOOK_IN_INVALID 145
#define IDS_DESTINATION_NOT_CREATED 149
#define IDS_STATUS_SEARCH_CLOSED 159
#define IDS_STATUS_SEARCH_FINISHED 293
#define IDS_STATUS_SEARCHING 296
#define IDS_UNDELETE_CAPTION 301        // %s: the target computer
#define IDS_BROWSE_SEARCH_FOLDER 303
#define IDS_BROWSE_DESTINATION 304
#define IDS_DESTINATION_NO_VOLUME 313
#define IDS_DESTINATION_RECYCLE_FOLDER 315
#define IDS_REPORT_FILE_NAME 440   // the report beside the recovered files
#define IDS_REPORT_NOT_WRITTEN 441  // %s: the destination folder
#define IDS_TAB_NAME 430  // 430 .. 432: the search panel's page titles

// ---- Condition column and deep scan ------------------------------------------
#define IDS_COL_CONDITION 470
// 471 .. 476: the condition words, in ConditionWord order from Whole.
#define IDS_CONDITION_WHOLE 471
#define IDS_CONDITION_PARTLY 472
#define IDS_CONDITION_OVERWRITTEN 473
#define IDS_CONDITION_GUESSED 474
#define IDS_CONDITION_ZEROED 475
#define IDS_CONDITION_TRUNCATED 476
#define IDS_STATUS_DEEP_SCAN 477       // %d: percent of the volume read
#define IDS_DEEP_SCAN_FAILED 478       // %s: why
#define IDC_SB_DEEP 1170
// The condition images of the file list's first column, in ConditionWord order.
#define IDB_CONDITION_FIRST 470  // 470 .. 476
// The preview pane
#define IDS_PREVIEW_LABEL 490        // "&Preview: " before the pane's state
#define IDS_PREVIEW_NONE 491
#define IDS_PREVIEW_AFTER_SEARCH 492
#define IDS_PREVIEW_READING 493
#define IDS_PREVIEW_UNREADABLE 494
#define IDS_PREVIEW_EMPTY 495
#define IDS_PREVIEW_PICTURE 496      // %s: format, %d x %d: pixels
#define IDS_PREVIEW_PICTURE_BAD 497  // %s: format
#define IDS_PREVIEW_TEXT 498         // %s: encoding
#define IDS_PREVIEW_BYTES 499        // %d: bytes shown, %I64u: the file's size
#define IDS_PREVIEW_ZEROED 500       // %I64u: the file's size
#define IDS_PREVIEW_IN_USE 501       // added where the '*' fill shows
#define IDS_PREVIEW_ZEROED_NOTE 502  // before a zeroed file's bytes
// Preview pane controls
#define IDC_PREVIEW_LABEL 1300
#define IDC_PREVIEW_TEXT 1301
#define IDC_PREVIEW_PICTURE 1302
