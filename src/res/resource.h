// Control ids of the password dialog, shared by the resource script and the
// Windows layer. The transfer dialog's ids live in app/qelta.h.
#ifndef QELTA_RESOURCE_H
#define QELTA_RESOURCE_H

#define IDC_PASS_PROMPT 100
#define IDC_PASS_HOST 102
#define IDC_PASS_EDIT 103

#endif
