// Page numbers (the tab index) and the control ids of the page templates. Ids repeat across
// pages; within one page they are unique. Each control's object name is "c" followed by its id.
#pragma once

#include <QString>

enum PageIndex : int {
    PAGE_CAPTURE = 0,
    PAGE_APPLY = 1,
    PAGE_INFO = 2,
    PAGE_MODIFY = 3,
    PAGE_MOUNT = 4,
    PAGE_DELETE = 5,
    PAGE_EXPORT = 6,
    PAGE_BROWSE = 7,   // toolbox: browse and extract
    PAGE_SPLIT = 8,    // toolbox: split and join
    PAGE_MAINTAIN = 9, // toolbox: optimize and verify
    PAGE_ABOUT = 10,
    PAGE_COUNT = 11,
};

enum ControlId : int {
    // capture page
    IDC_CAPTURE_SOURCE = 1002,
    IDC_CAPTURE_DESCRIPTION = 1003,
    IDC_CAPTURE_TARGET = 1004,
    IDC_CAPTURE_NAME = 1005,
    IDC_CAPTURE_COMPRESSION = 1006,
    IDC_CAPTURE_BROWSE_SOURCE = 1007,
    IDC_CAPTURE_BROWSE_TARGET = 1008,
    IDC_CAPTURE_BOOTABLE = 1009,
    IDC_CAPTURE_TEMP_FOLDER = 1010,
    IDC_CAPTURE_CONFIG_FILE = 1011,
    IDC_CAPTURE_BROWSE_TEMP = 1012,
    IDC_CAPTURE_BROWSE_CONFIG = 1013,
    IDC_CAPTURE_FLAGS = 1016,
    IDC_CAPTURE_VERIFY = 1018,
    IDC_CAPTURE_CREATE = 1019,
    IDC_CAPTURE_APPEND = 1020,
    IDC_CAPTURE_CHECK = 1021,
    IDC_CAPTURE_SHOW_CONFIG = 1022,
    IDC_CAPTURE_DISPLAY_NAME = 1092,
    IDC_CAPTURE_DISPLAY_DESCRIPTION = 1093,
    IDC_CAPTURE_NO_RP_FIX = 1096,
    // apply page
    IDC_APPLY_SOURCE = 1021,
    IDC_APPLY_TARGET = 1022,
    IDC_APPLY_BROWSE_SOURCE = 1023,
    IDC_APPLY_BROWSE_TARGET = 1024,
    IDC_APPLY_START = 1025,
    IDC_APPLY_CHECK = 1026,
    IDC_APPLY_INDEX_EDIT = 1027,
    IDC_APPLY_VERIFY = 1028,
    IDC_APPLY_INDEX = 1029,
    IDC_APPLY_CHOOSE = 1087,
    // information page
    IDC_INFO_SOURCE = 1030,
    IDC_INFO_BROWSE_SOURCE = 1031,
    IDC_INFO_RUN = 1032,
    IDC_INFO_REPORT = 1033,
    // modify page
    IDC_MODIFY_SOURCE = 1040,
    IDC_MODIFY_BROWSE_SOURCE = 1042,
    IDC_MODIFY_INDEX_EDIT = 1043,
    IDC_MODIFY_INDEX = 1044,
    IDC_MODIFY_CHECK = 1045,
    IDC_MODIFY_START = 1046,
    IDC_MODIFY_FLAGS = 1047,
    IDC_MODIFY_NAME = 1048,
    IDC_MODIFY_DESCRIPTION = 1049,
    IDC_MODIFY_BOOTABLE = 1050,
    IDC_MODIFY_CHOOSE = 1051,
    IDC_MODIFY_DISPLAY_NAME = 1094,
    IDC_MODIFY_DISPLAY_DESCRIPTION = 1095,
    // mount page
    IDC_MOUNT_SOURCE = 1054,
    IDC_MOUNT_PATH = 1055,
    IDC_MOUNT_BROWSE_SOURCE = 1056,
    IDC_MOUNT_BROWSE_PATH = 1057,
    IDC_MOUNT_INDEX_EDIT = 1058,
    IDC_MOUNT_INDEX = 1059,
    IDC_MOUNT_START = 1060,
    IDC_UNMOUNT_START = 1061,
    IDC_MOUNT_READ_WRITE = 1062,
    IDC_UNMOUNT_COMMIT = 1063,
    IDC_MOUNT_REFRESH = 1064,
    IDC_MOUNT_LIST = 1066,
    IDC_MOUNT_CHOOSE = 1088,
    // delete page
    IDC_DELETE_START = 1067,
    IDC_DELETE_CHECK = 1068,
    IDC_DELETE_INDEX_EDIT = 1069,
    IDC_DELETE_INDEX = 1070,
    IDC_DELETE_SOURCE = 1071,
    IDC_DELETE_BROWSE_SOURCE = 1072,
    IDC_DELETE_CHOOSE = 1089,
    // export page
    IDC_EXPORT_SOURCE = 1073,
    IDC_EXPORT_TARGET = 1074,
    IDC_EXPORT_BROWSE_SOURCE = 1075,
    IDC_EXPORT_BROWSE_TARGET = 1076,
    IDC_EXPORT_INDEX_EDIT = 1077,
    IDC_EXPORT_INDEX = 1078,
    IDC_EXPORT_BOOTABLE = 1079,
    IDC_EXPORT_CHECK = 1080,
    IDC_EXPORT_START = 1081,
    IDC_EXPORT_COMPRESSION = 1082,
    IDC_EXPORT_NAME = 1083,
    IDC_EXPORT_CHOOSE = 1090,
};

// The toolbox pages' controls (ids from 1100 up; their own pages route them).
enum ToolboxControlId : int {
    // browse page
    IDC_BROWSE_SOURCE = 1100,
    IDC_BROWSE_BROWSE_SOURCE = 1101,
    IDC_BROWSE_INDEX_EDIT = 1102,
    IDC_BROWSE_INDEX = 1103,
    IDC_BROWSE_CHOOSE = 1104,
    IDC_BROWSE_SHOW = 1105,
    IDC_BROWSE_FILTER = 1106,
    IDC_BROWSE_TREE = 1107,
    IDC_BROWSE_STATUS = 1108,
    IDC_EXTRACT_TARGET = 1109,
    IDC_EXTRACT_BROWSE_TARGET = 1110,
    IDC_EXTRACT_OVERWRITE = 1111,
    IDC_EXTRACT_START = 1112,
    // split page
    IDC_SPLIT_SOURCE = 1120,
    IDC_SPLIT_BROWSE_SOURCE = 1121,
    IDC_SPLIT_TARGET = 1122,
    IDC_SPLIT_BROWSE_TARGET = 1123,
    IDC_SPLIT_SIZE = 1124,
    IDC_SPLIT_START = 1125,
    IDC_JOIN_SOURCE = 1126,
    IDC_JOIN_BROWSE_SOURCE = 1127,
    IDC_JOIN_TARGET = 1128,
    IDC_JOIN_BROWSE_TARGET = 1129,
    IDC_JOIN_START = 1130,
    // maintain page
    IDC_OPTIMIZE_SOURCE = 1140,
    IDC_OPTIMIZE_BROWSE_SOURCE = 1141,
    IDC_OPTIMIZE_COMPRESSION = 1142,
    IDC_OPTIMIZE_START = 1143,
    IDC_VERIFY_SOURCE = 1144,
    IDC_VERIFY_BROWSE_SOURCE = 1145,
    IDC_VERIFY_START = 1146,
};

// Page commands are routed for ids in this range; other buttons do nothing.
inline constexpr int kFirstPageCommand = 1007;
inline constexpr int kLastPageCommand = 1007 + 83;

// The object name a template gives control `id`.
inline QString controlName(int id)
{
    return QStringLiteral("c%1").arg(id);
}

// The control id behind an object name "c<id>", or 0 for any other name.
inline int controlIdOf(const QString& objectName)
{
    if (!objectName.startsWith(u'c'))
        return 0;
    bool ok = false;
    const int id = objectName.mid(1).toInt(&ok);
    return ok ? id : 0;
}
