// Resource and control identifiers of VMDSMgr.exe. The GUI test driver finds the controls of the
// main window by these numbers too.
#pragma once

#define IDI_VMDSMGR 100

// Main window controls.
#define IDC_INSTANCE_LIST 1001        // VMDSInstanceListView
#define IDC_ADD_INSTANCE 1002         // cmdAddNewInstance
#define IDC_REMOVE_INSTANCE 1003      // cmdRemoveInstance
#define IDC_START_SERVICE 1004        // StartServiceCmdBtn
#define IDC_STOP_SERVICE 1005         // StopServiceCmdBtn
#define IDC_STATUS_DETAILS 1006       // StatusDetailsLabel
#define IDC_HOST_NAME 1010            // HostDomainNameTextBox
#define IDC_TCP_PORT 1011             // TCPPortNumberTextBox
#define IDC_SERIAL_PORT 1012          // SerialPortComboBox
#define IDC_INSTANCE_NAME 1013        // InstanceNameValueLabel
#define IDC_SERVICE_NAME 1014         // ServiceDisplayNameValueLabel
#define IDC_PORT_PRESENCE 1015        // SerialPortPresenceLabel
#define IDC_BIT_RATE 1020             // BitRateComboBox
#define IDC_DATA_BITS 1021            // DataBitsComboBox
#define IDC_PARITY 1022               // ParityComboBox
#define IDC_STOP_BITS 1023            // StopBitsComboBox
#define IDC_MAX_CONN_TIME 1030        // MaxConnTimeTextBox
#define IDC_MAX_IDLE_TIME 1031        // MaxIdleTimeTextBox
#define IDC_DROP_DTR 1032             // DropDTRCheckBox
#define IDC_DROP_RTS 1033             // DropRTSCheckBox
#define IDC_ALLOWED_CLIENTS 1034      // AllowedClientsTextBox
#define IDC_LISTEN_ADDRESS 1035       // ListenAddressTextBox
#define IDC_REMOTE_PORT_CONTROL 1036  // RemotePortControlCheckBox
#define IDC_LOG_FILE 1040             // BrowseLogFileTextBox
#define IDC_BROWSE 1041               // BrowseCmdBtn
#define IDC_VIEW_LOG 1042             // ViewLogFileCmdBtn
#define IDC_DEBUG_MODE 1050           // EnableDebugModeCheckBox
#define IDC_DEFAULT_SETTINGS 1051     // DefaultSettingsCmdBtn
#define IDC_SAVE 1052                 // SaveCmdBtn
#define IDC_VIEW_MANUAL 1060          // ViewManualCmdBtn
#define IDC_ABOUT 1061                // AboutCmdBtn
#define IDC_EXIT 1062                 // ExitCmdBtn
#define IDC_PROGRESS 1063             // ProgressLabel
#define IDC_TLS_CERTIFICATE 1070      // TLSCertificateTextBox
#define IDC_TLS_CERTIFICATE_BROWSE 1071  // TLSCertificateBrowseCmdBtn
#define IDC_TLS_KEY 1072              // TLSKeyTextBox
#define IDC_TLS_KEY_BROWSE 1073       // TLSKeyBrowseCmdBtn
#define IDC_TLS_CLIENT_CA 1074        // TLSClientCATextBox
#define IDC_TLS_CLIENT_CA_BROWSE 1075  // TLSClientCABrowseCmdBtn

// The main window's class name (the test driver finds the window by it).
#define VMDSMGR_MAIN_CLASS "VMDSMgrMainDisplay"

// The dialog "Add New Instance" (its own window class; Esc and the close box close it too).
#define VMDSMGR_ADD_INSTANCE_CLASS "VMDSMgrAddNewInstance"
#define IDC_NEW_INSTANCE_NAME 1101    // InstanceNameTextBox
#define IDC_NEW_TCP_PORT 1102         // TCPPortTextBox
#define IDC_NEW_SERIAL_PORT 1103      // SerialPortComboBox
#define IDC_CREATE_INSTANCE 1104      // CreateInstanceCmdBtn
#define IDC_CANCEL_INSTANCE 1105      // CancelCmdBtn
#define IDC_NEW_PORT_PRESENCE 1106    // the label beside the serial-port list

// The About box (its own window class).
#define VMDSMGR_ABOUT_CLASS "VMDSMgrAbout"
#define IDC_ABOUT_MAKER 1201          // Label4
#define IDC_ABOUT_VERSION 1202        // Label2
#define IDC_ABOUT_LEGAL 1203          // Label1
#define IDC_ABOUT_SUPPORT 1204        // SupportLabel
#define IDC_ABOUT_WEB 1205            // WebButton
#define IDC_ABOUT_OK 1206             // Command1
#define IDC_ABOUT_ICON 1207           // the program's icon
