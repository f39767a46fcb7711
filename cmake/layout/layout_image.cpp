// The layout table as the windows-x86 build lays the structures out with the DDK's
// headers, in a section of its own. The build copies the section out into the
// table file that the 32-bit hosted build's layout test reads. constexpr: the
// words are in the object itself, never filled in by a constructor.
#include <tests/layout/layout_table.h>

__attribute__((section(".kxlayout"), used)) static constexpr ULONG KorvaxLayoutImage[] = {
    korvax_layout::kMagic, korvax_layout::kRows, korvax_layout::RowNamesHash(),
    KORVAX_LAYOUT_ROWS(KORVAX_LAYOUT_SIZE_VALUE, KORVAX_LAYOUT_ALIGN_VALUE,
                       KORVAX_LAYOUT_OFFSET_VALUE)};

static_assert(sizeof(KorvaxLayoutImage) ==
                  sizeof(korvax_layout::FileHeader) + korvax_layout::kRows * sizeof(ULONG),
              "the table file is its header and one word per row");
