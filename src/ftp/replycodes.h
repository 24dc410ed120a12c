// The reply codes the client looks for, each named once. Each is the code
// with its blank, as a reply's code is handed on ("226 ").
#ifndef QELTA_REPLYCODES_H
#define QELTA_REPLYCODES_H

#define CODE_DATA_STARTING "125 "   // data connection already open, transfer starting
#define CODE_FILE_STATUS_OK "150 "  // about to open the data connection
#define CODE_COMMAND_OK "200 "
#define CODE_SERVICE_READY "220 "
#define CODE_CLOSING "221 "  // closing the control connection (QUIT)
#define CODE_TRANSFER_DONE "226 "
#define CODE_PASSIVE "227 "
#define CODE_EXTENDED_PASSIVE "229 "  // the port of an EPSV data connection
#define CODE_LOGGED_IN "230 "
#define CODE_AUTH_OK "234 "  // AUTH accepted: the TLS handshake follows
#define CODE_FILE_ACTION_OK "250 "
#define CODE_CREATED "257 "
#define CODE_NEED_PASSWORD "331 "
#define CODE_NEED_ACCOUNT "332 "
#define CODE_NOT_AVAILABLE "421 "  // the server is closing the connection
#define CODE_NOT_LOGGED_IN "530 "
#define CODE_UNAVAILABLE "550 "  // no such file, no access

#endif
