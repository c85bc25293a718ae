/* Ids of the test dialogs. */
#ifndef TESSALY_UI_TESTIDS_H
#define TESSALY_UI_TESTIDS_H

#define IDD_ROUTING 900
#define IDD_MISSING 999
#define IDC_ROUTING_EDIT 901
#define IDC_ROUTING_BUTTON 902
#define IDC_ROUTING_COMBO 903

#endif
