#include "app/main_frame.h"

#include "form/view.h"

bool CMainFrame::OnClose() { return m_view.OnFrameClose(); }

void CMainFrame::OnCommand(int id) { m_view.OnCommand(id); }
