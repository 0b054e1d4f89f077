/* The identifiers of the wizard's resources: dialog templates, controls,
 * strings, icons and pictures. Shared by the portable wizard logic, every
 * front end and the Windows resource script, so plain macros only (the
 * resource compiler reads this file too). */
#ifndef KEST_RESOURCE_IDS_H
#define KEST_RESOURCE_IDS_H

/* Dialog templates. */
#define IDD_KEST_PAGE_INTRO             102
#define IDD_KEST_DIALOG                 142
#define IDD_KEST_PAGE_CHOOSE_DISK       143
#define IDD_KEST_PAGE_CHOOSE_CONNECTION 144
#define IDD_KEST_PAGE_RESTART           145
#define IDD_KEST_PAGE_CHOOSE_WAVLO      146
#define IDD_KEST_PAGE_CHOOSE_STARTUP    147
#define IDD_KEST_PAGE_DIAGS             148
#define IDD_KEST_PAGE_INSTALL           149
#define IDD_WAIT_FOR_DISK               150

/* Icons. */
#define IDI_KEST_APP                    143
#define IDI_KEST_DISC                   145

/* Strings. */
#define IDS_KEST_APP_NAME               109
#define IDS_KEST_INTRO                  110
#define IDS_KEST_CONTINUE               111
#define IDS_KEST_QUIT                   112
#define IDS_KEST_CONNECTION             113
#define IDS_KEST_RESTART                114
#define IDS_KEST_RESTART_PICTURE        115
#define IDS_KEST_SHARE_FAILED           116
#define IDS_KEST_WAIT_STARTUP           117
#define IDS_KEST_WAIT_INSTALLER         118
#define IDS_KEST_WAIT_DISC              119
#define IDS_KEST_INSTALL_FAILED         120
#define IDS_KEST_INSTALL_SUCCEEDED      121
#define IDS_KEST_CONFIRM_QUIT           122
#define IDS_KEST_MAY_QUIT               123
#define IDS_KEST_SEE_INSTALLER          124
#define IDS_KEST_INSERT_DISC_TITLE      125
#define IDS_KEST_INSERT_DISC_BODY       126
#define IDS_KEST_EJECT_FAILED_TITLE     127
#define IDS_KEST_EJECT_FAILED_BODY      128
#define IDS_KEST_IMAGE_NAME_FORMAT      129
/* The desktop front end's own: opening a disc image file as the disc. */
#define IDS_KEST_OPEN_IMAGE             130
#define IDS_KEST_DISC_IMAGES            131

/* Controls of the wait-for-disc dialog (150); OK is IDOK (1). */
#define IDC_WAIT_ICON                   1022
#define IDC_WAIT_TITLE                  1023
#define IDC_WAIT_BODY                   1024

/* Controls of the wizard (142). */
#define IDC_KEST_PAGE_AREA              1030
#define IDC_KEST_PICTURE                1032
#define IDC_KEST_GO_BACK                1033
#define IDC_KEST_CONTINUE               1034
#define IDC_KEST_TITLE                  1037

/* Controls of the pages. */
#define IDC_INTRO_TEXT                  1035
#define IDC_DISK_LIST                   1042
#define IDC_DISK_USE_DIAGS              1043
#define IDC_DISK_DIAGS_NOTE             1061
#define IDC_CONNECTION_WAVLO            1044
#define IDC_CONNECTION_ETHERNET         1045
#define IDC_CONNECTION_TEXT             1046
#define IDC_RESTART_TEXT                1047
#define IDC_RESTART_PICTURE             1048
#define IDC_WAVLO_TEXT                  1049
#define IDC_WAVLO_NEXT                  1050
#define IDC_WAVLO_PICTURE               1051
#define IDC_STARTUP_TEXT                1052
#define IDC_STARTUP_PICTURE             1053
#define IDC_STARTUP_NEXT                1054
#define IDC_INSTALL_PROGRESS            1055
#define IDC_INSTALL_STATUS              1056
#define IDC_INSTALL_REMAINING           1057

/* Private messages: the disc list's selection check (to the page) and the
 * deferred "Eject" (to the wizard, the event in lParam). WM_USER is 0x400. */
#define KEST_MSG_CHECK_SELECTION        (0x0400 + 0x100)
#define KEST_MSG_EJECT                  (0x0400 + 0x101)

/* Pictures: resource names of type "PNGImage" and their pixel sizes. */
#define KEST_PNG_TYPE                   "PNGImage"
#define KEST_PNG_BACKGROUND             "BackgroundPNG"      /* 400 x 400 */
#define KEST_PNG_CHOOSE_WAVLO           "ChooseWavloPNG"     /* 330 x 190 */
#define KEST_PNG_CHOOSE_SERVER          "ChooseServerPNG"    /* 330 x 190 */
#define KEST_PNG_RESTART                "RestartPNG"         /* 260 x 123 */
#define KEST_PNG_RESTART_ALT            "RestartAltPNG"      /* 260 x 123 */

#define KEST_PAGE_COUNT                 8

#endif
