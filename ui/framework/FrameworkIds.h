/* Command and string ids the framework layer defines for every program, as the framework it
   stands for numbers them. Plain macros: resource scripts include this file too. */
#ifndef TESSALY_UI_FRAMEWORK_FRAMEWORKIDS_H
#define TESSALY_UI_FRAMEWORK_FRAMEWORKIDS_H

/* The help command: the Help button, and F1 turned into a command. */
#define ID_HELP 0xE146
/* The string of the message shown when the help viewer cannot start. */
#define AFX_IDP_FAILED_TO_LAUNCH_HELP 61703

#endif
