#pragma once
// Identifiers of the window's controls, menu commands, timer and private message. Plain numbers,
// so the portable rules can name the control that gets the focus.

namespace gui {

constexpr int IDC_SOURCE_EDIT = 2001;
constexpr int IDC_SOURCE_OPEN = 2002;
constexpr int IDC_OUTDIR_EDIT = 2003;
constexpr int IDC_OUTDIR_BROWSE = 2004;
constexpr int IDC_MODE_COMBO = 2007;
constexpr int IDC_RECOVER_SAMPLE = 2009;
constexpr int IDC_OVERALL_PROGRESS = 2013;
constexpr int IDC_STATUS_LINK = 2014;
constexpr int IDC_ACTIVITY_EDIT = 2015;
constexpr int IDC_ANALYZE = 2016;
constexpr int IDC_RECOVER_ALL = 2017;
constexpr int IDC_WORKDIR_EDIT = 2018;
constexpr int IDC_WORKDIR_BROWSE = 2019;
constexpr int IDC_FILE_PROGRESS = 2020;
constexpr int IDC_ANALYSIS_STATUS = 2021;
constexpr int IDC_ANALYSIS_DETAILS = 2022;

constexpr int IDM_SHOW_ACTIVITY = 3051;
constexpr int IDM_ABOUT = 3101;

constexpr int IDT_LOG_POLL = 1;
constexpr unsigned WM_RECOVERY_DONE = 0x802A;  // WM_APP + 42

constexpr int IDI_APP_ICON = 101;

}  // namespace gui
