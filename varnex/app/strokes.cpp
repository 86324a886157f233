// Strokes of seeds with undo and redo.
#include "strokes.h"

#include <varnex/contour.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <unordered_set>

void SeedStrokes::Begin(int kind) {
    m_strokes.resize(m_nDone);
    Stroke stroke;
    stroke.kind = kind;
    stroke.serial = m_nNextSerial++;
    m_strokes.push_back(std::move(stroke));
    m_bInStroke = true;
}

void SeedStrokes::Add(const CPoint* pixels, std::size_t count) {
    if (!m_bInStroke) return;
    std::vector<CPoint>& stroke = m_strokes.back().pixels;
    stroke.insert(stroke.end(), pixels, pixels + count);
}

bool SeedStrokes::End() {
    if (!m_bInStroke) return false;
    m_bInStroke = false;
    if (m_strokes.back().pixels.empty() && m_strokes.back().kind != kClear) {
        m_strokes.pop_back();
        return false;
    }
    m_nDone = m_strokes.size();
    return true;
}

bool SeedStrokes::AddStroke(int kind, const std::vector<CPoint>& pixels) {
    Begin(kind);
    Add(pixels.data(), pixels.size());
    return End();
}

bool SeedStrokes::Undo() {
    if (m_bInStroke || !CanUndo()) return false;
    --m_nDone;
    return true;
}

bool SeedStrokes::Redo() {
    if (m_bInStroke || !CanRedo()) return false;
    ++m_nDone;
    return true;
}

std::vector<CPoint> SeedStrokes::Seeds(int kind) const {
    std::vector<CPoint> seeds;
    // A stroke in progress counts: its seeds show while it is painted.
    const std::size_t count = m_bInStroke ? m_strokes.size() : m_nDone;
    for (std::size_t i = 0; i < count; ++i) {
        const Stroke& stroke = m_strokes[i];
        if (stroke.kind == kClear) {
            seeds.clear();
        } else if (stroke.kind == kErase) {
            std::unordered_set<std::uint64_t> erased;
            for (const CPoint& p : stroke.pixels)
                erased.insert((static_cast<std::uint64_t>(static_cast<std::uint32_t>(p.y)) << 32) |
                              static_cast<std::uint32_t>(p.x));
            seeds.erase(std::remove_if(seeds.begin(), seeds.end(),
                                       [&](const CPoint& p) {
                                           return erased.count((static_cast<std::uint64_t>(
                                                                    static_cast<std::uint32_t>(p.y))
                                                                << 32) |
                                                               static_cast<std::uint32_t>(p.x)) != 0;
                                       }),
                        seeds.end());
        } else if (stroke.kind == kind) {
            seeds.insert(seeds.end(), stroke.pixels.begin(), stroke.pixels.end());
        }
    }
    return seeds;
}

bool SeedStrokes::Apply(Contour& contour) const {
    contour.object_seeds.RemoveAll();
    contour.background_seeds.RemoveAll();
    try {
        const std::vector<CPoint> object = Seeds(kObject);
        const std::vector<CPoint> background = Seeds(kBackground);
        for (const CPoint& p : object) contour.object_seeds.Add(p);
        for (const CPoint& p : background) contour.background_seeds.Add(p);
    } catch (const std::bad_alloc&) {
        contour.object_seeds.RemoveAll();
        contour.background_seeds.RemoveAll();
        return false;
    }
    return true;
}

bool SeedStrokes::Modified() const {
    const unsigned last = m_nDone > 0 ? m_strokes[m_nDone - 1].serial : 0;
    return last != m_nSavedSerial;
}

void SeedStrokes::SetSaved() { m_nSavedSerial = m_nDone > 0 ? m_strokes[m_nDone - 1].serial : 0; }
