// Constants and callbacks of the panel file ZErov.uir (ui/ZErov.ui): the panel
// resource number, the control numbers and the callbacks its controls name.
#pragma once

#define MAINPNL 1
#define MAINPNL_VATYPE 2
#define MAINPNL_TRIGGERBUTTON 3
#define MAINPNL_TRANSMIT 4
#define MAINPNL_CLEAR 5
#define MAINPNL_RECEIVE 6
#define MAINPNL_ONLINE 7
#define MAINPNL_CONNECTED 8
#define MAINPNL_DECORATION 9
#define MAINPNL_DECORATION_2 10
#define MAINPNL_SERVER_IP 11
#define MAINPNL_CLIENT_IP 12
#define MAINPNL_SERVER_NAME 13
#define MAINPNL_CLIENT_NAME 14
#define MAINPNL_STRING 15
#define MAINPNL_DUMPSPEED 16
#define MAINPNL_DirectionSwitch 17
#define MAINPNL_BATTERY 18

int MainPanelCB(int panel, int event, void* callbackData, int eventData1, int eventData2);
int ClearScreenCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int TransmitCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int TRIGGERBUTTON(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int VATYPE(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
