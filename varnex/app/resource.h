// Command, resource and message numbers of the application.
#pragma once

// Resources.
constexpr int IDR_MAINFRAME = 128;   // menu without a document, accelerators, toolbar, icon
constexpr int IDR_VARNEXTYPE = 129;  // menu of a document window

// The program's own commands.
constexpr int ID_ZOOM_X1 = 32771;
constexpr int ID_ZOOM_X2 = 32772;
constexpr int ID_ZOOM_X3 = 32773;
constexpr int ID_ZOOM_X4 = 32774;
constexpr int ID_IMAGE_WINDOWCENTER = 32776;
constexpr int ID_SAVE_RESULTS = 32778;
constexpr int ID_SAVE_CURRENT_IMAGE = 32779;
constexpr int ID_EDIT_GRAPHCUT = 32780;
constexpr int ID_EDIT_TUNEPARAMETER = 32781;
constexpr int ID_VIEW_SHOW_REGIONS = 32782;
constexpr int ID_EDIT_MAKE_REGION_MAP = 32783;
constexpr int ID_EDIT_REDO = 32784;
constexpr int ID_EDIT_CLEAR_SEEDS = 32785;
constexpr int ID_EDIT_LIVE_GRAPHCUT = 32786;
constexpr int ID_FILE_EXPORT_MASK = 32787;
constexpr int ID_FILE_SAVE_SEEDS = 32788;
constexpr int ID_VIEW_OVERLAY = 32789;
constexpr int ID_VIEW_OVERLAY_OPACITY = 32790;
constexpr int ID_ZOOM_HALF = 32791;
constexpr int ID_ZOOM_QUARTER = 32792;
constexpr int ID_ZOOM_EIGHTH = 32793;
constexpr int ID_ZOOM_FIT = 32794;

// Standard commands of the document/view layer.
constexpr int ID_FILE_NEW = 57600;
constexpr int ID_FILE_OPEN = 57601;
constexpr int ID_FILE_CLOSE = 57602;
constexpr int ID_FILE_SAVE = 57603;
constexpr int ID_FILE_PRINT_SETUP = 57606;
constexpr int ID_FILE_PRINT = 57607;
constexpr int ID_FILE_PRINT_PREVIEW = 57609;
constexpr int ID_FILE_MRU_FILE1 = 57616;  // up to ID_FILE_MRU_FILE1 + 3
constexpr int ID_EDIT_COPY = 57634;
constexpr int ID_EDIT_CUT = 57635;
constexpr int ID_EDIT_PASTE = 57637;
constexpr int ID_EDIT_UNDO = 57643;
constexpr int ID_WINDOW_NEW = 57648;
constexpr int ID_WINDOW_ARRANGE = 57649;
constexpr int ID_WINDOW_CASCADE = 57650;
constexpr int ID_WINDOW_TILE_HORZ = 57651;
constexpr int ID_APP_ABOUT = 57664;
constexpr int ID_APP_EXIT = 57665;
constexpr int ID_NEXT_PANE = 57680;
constexpr int ID_PREV_PANE = 57681;
constexpr int ID_VIEW_TOOLBAR = 59392;
constexpr int ID_VIEW_STATUS_BAR = 59393;

/// Codes of the window/centre dialog's answer to its view (WindCentEvent):
/// WINDCENT_APPLY when the dialog ended with OK, WINDCENT_CANCEL else.
constexpr int WINDCENT_CANCEL = 1;
constexpr int WINDCENT_APPLY = 2;

/// Number of entries of the recent-file list.
constexpr int kRecentFileCount = 4;
