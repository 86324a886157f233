// The document's segmentation session: cuts with the painted seeds.
#include "varnexdoc.h"

#include <varnex/contour.h>
#include <varnex/myimage.h>
#include <varnex/segmentation_run.h>

#include <string>

void CVarnexDoc::ApplyStrokes() {
    if (m_pContour) m_strokes.Apply(*m_pContour);
}

bool CVarnexDoc::Cut(QString* status) {
    status->clear();
    if (!HasImage() || !m_pSession) return false;
    m_pContour->parameter = m_fParameter;
    m_pContour->result_levels = GreyTable();
    ApplyStrokes();
    if (!m_pSession->has_map()) {
        // A region map that cannot be read or does not fit the picture stops
        // the cut after its message. Without a region map file one is made
        // from the picture first.
        std::string label;
        MyImage* map = RegionMapForCut(&label, status);
        if (!map || !m_pSession->SetRegionMap(map, label)) return false;
    }
    if (!m_pSession->Cut()) return false;
    m_dLastCutSeconds = m_pSession->seconds_regions + m_pSession->seconds_cut;
    ShowSegmentation();
    return true;
}

bool CVarnexDoc::HasResult() const { return m_pSession && m_pSession->ok(); }

const unsigned char* CVarnexDoc::ObjectMask() const {
    return HasResult() ? m_pSession->object_mask() : nullptr;
}

void CVarnexDoc::ForgetRegions() {
    if (!m_pSession || !m_pContour) return;
    delete m_pSession;
    m_pSession = new SegmentationSession(*m_pContour);
}
