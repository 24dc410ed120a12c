// Ids of the resources that the resource script, the core and both
// platform layers name: the controls of the two dialogs and the string
// table. Plain #defines, since the resource compiler reads this file too.
#ifndef QELTA_BASE_RESOURCE_H
#define QELTA_BASE_RESOURCE_H

// The transfer dialog "XFERDLG": the fields the run fills in, and Cancel.
#define IDC_COUNTERLABEL 101
#define IDC_COUNTER 116
#define IDC_PERCENT 118
#define IDC_LOCAL 119
#define IDC_REMOTE 121
#define IDC_SOURCE 123
#define IDC_DEST 124
#define IDC_COMMAND 125
#define IDC_PROGRESS 126
#define IDC_RATE 128
#define IDC_ELAPSED 130
#define IDCANCEL_BUTTON 2

// The password dialog "PASSDLG".
#define IDC_PASS_PROMPT 100
#define IDC_PASS_HOST 102
#define IDC_PASS_EDIT 103

// The string table: the filter list of the file-open dialog. The POSIX
// layer, which has no resources, serves the text itself.
#define IDS_SCRIPT_FILTER 1032
#define STR_SCRIPT_FILTER "Script Files(*.txt,*.ftp)|*.txt;*.ftp|All Files(*.*)|*.*|"

#endif
