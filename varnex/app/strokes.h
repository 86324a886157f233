// The seeds of a document as the strokes that painted them, with undo and
// redo. Plain C++: the view feeds it, the document applies it.
#pragma once

#include <varnex/myimage.h>

#include <cstddef>
#include <vector>

class Contour;

/// Strokes in painting order and how many of them are done (the others
/// were undone and can be redone). A stroke is one press-drag-release of
/// one kind: object seeds, background seeds, or the eraser, which removes
/// the seeds of both kinds under it; clearing all seeds is a stroke too,
/// so it can be undone.
class SeedStrokes {
public:
    enum Kind { kErase = 0, kObject = 1, kBackground = 2, kClear = 3 };

    /// Starts a stroke of `kind`. Every undone stroke is dropped.
    void Begin(int kind);
    /// Adds pixels (inside the picture) to the stroke in progress.
    void Add(const CPoint* pixels, std::size_t count);
    /// Ends the stroke in progress. A stroke without pixels is dropped.
    /// True when a stroke was kept.
    bool End();
    /// True while a stroke is in progress.
    bool InStroke() const { return m_bInStroke; }
    /// A whole stroke at once (loading seeds from a file, clearing): Begin,
    /// Add, End. True when kept.
    bool AddStroke(int kind, const std::vector<CPoint>& pixels);

    bool CanUndo() const { return m_nDone > 0; }
    bool CanRedo() const { return m_nDone < m_strokes.size(); }
    /// Takes back the last done stroke. True when there was one.
    bool Undo();
    /// Does the first undone stroke again. True when there was one.
    bool Redo();
    /// Number of strokes done.
    std::size_t DoneCount() const { return m_nDone; }

    /// Puts the seeds of the done strokes, in painting order, into the
    /// Contour's seed lists in place of what they held: object and
    /// background strokes append their pixels, an eraser stroke removes
    /// every seed of either kind on its pixels, a clear stroke empties both
    /// lists. False (lists emptied) when memory runs out.
    bool Apply(Contour& contour) const;
    /// The seeds the done strokes leave, as Apply gives them.
    std::vector<CPoint> Seeds(int kind) const;

    /// True when the done strokes differ from those last saved (or loaded).
    bool Modified() const;
    /// The done strokes are now what is saved.
    void SetSaved();

private:
    struct Stroke {
        int kind = kObject;
        std::vector<CPoint> pixels;
        unsigned serial = 0;   // identifies the stroke for the saved state
    };
    std::vector<Stroke> m_strokes;
    std::size_t m_nDone = 0;
    bool m_bInStroke = false;
    unsigned m_nNextSerial = 1;
    unsigned m_nSavedSerial = 0;   // serial of the last done stroke when saved, 0 for none
};
