// qel_i18n: the build-time switches of the fast paths, all on. Each shortcut that stands in for
// a plain path can be left out of a build (its name in the CMake list QEL_I18N_FAST_PATHS_OFF),
// so that benchmarks/compare_builds.py measures what it gains against the build without it.
#pragma once

#ifndef QEL_I18N_FAST_VIEW
#define QEL_I18N_FAST_VIEW 1
#endif
#ifndef QEL_I18N_FAST_GLOBALS
#define QEL_I18N_FAST_GLOBALS 1
#endif
#ifndef QEL_I18N_FAST_LOCK
#define QEL_I18N_FAST_LOCK 1
#endif
#ifndef QEL_I18N_FAST_LEADING
#define QEL_I18N_FAST_LEADING 1
#endif
#ifndef QEL_I18N_FAST_RUNS
#define QEL_I18N_FAST_RUNS 1
#endif
#ifndef QEL_I18N_FAST_SCANNER
#define QEL_I18N_FAST_SCANNER 1
#endif
#ifndef QEL_I18N_FAST_WRITER
#define QEL_I18N_FAST_WRITER 1
#endif
#ifndef QEL_I18N_FAST_WHOLE
#define QEL_I18N_FAST_WHOLE 1
#endif
#ifndef QEL_I18N_FAST_SORT
#define QEL_I18N_FAST_SORT 1
#endif

namespace qel_i18n::fast {

// A catalogue's attributes read from its instance dict while its class is as made.
inline constexpr bool view = QEL_I18N_FAST_VIEW;
// Module globals found in the namespace kept while the namespace is unchanged.
inline constexpr bool globals = QEL_I18N_FAST_GLOBALS;
// A free host lock not taken by the lookup, where taking it could not be observed.
inline constexpr bool lock = QEL_I18N_FAST_LOCK;
// Probes ordered by the leading code units of the messages, kept per table.
inline constexpr bool leading = QEL_I18N_FAST_LEADING;
// Hits found through a hash of the sorted table's runs of equal messages, with no comparison.
inline constexpr bool runs = QEL_I18N_FAST_RUNS;
// Marked messages matched natively while the pattern is the one start-up compiled.
inline constexpr bool scanner = QEL_I18N_FAST_SCANNER;
// A source file read in its line iterator's own chunks, the whole lines of each scanned at once,
// where the scanner matches natively.
inline constexpr bool whole = scanner && QEL_I18N_FAST_WHOLE;
// The update's entries sorted natively while every key is made of exact str.
inline constexpr bool sort = QEL_I18N_FAST_SORT;
// Catalogue rows written natively while the writer is start-up's and the cells are plain.
inline constexpr bool writer = QEL_I18N_FAST_WRITER;

} // namespace qel_i18n::fast
