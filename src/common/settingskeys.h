#pragma once

// Every key of the per-user settings store, in one place. The store is keyed by
// organization "Quillmark Company" and application "Quillmark" (set in main);
// a plain QSettings() opened where a value is read or written reaches it.
// Defaults are written at each read, as the reading code needs them.
namespace Keys {

// Selection (restored at start-up, saved at close).
inline constexpr char SelectedSymbolsList[] = "selectedSymbolsList";
inline constexpr char CorrExchList[] = "corrExchList";
inline constexpr char CheckboxPattern[] = "checkbox%1"; // %1 = feed index 0..8
inline constexpr char FirstRun[] = "firstRun";

// Automatic and manual backfill.
inline constexpr char AutoBackfillChecked[] = "autoBackfillChecked";
inline constexpr char AutoFilldays[] = "autoFilldays";
inline constexpr char BackfillDays[] = "backfillDays";
inline constexpr char Eod1yBackfillPending[] = "eod1yBackfillPending";
inline constexpr char LastIntradaySymbols[] = "lastIntradaySymbols";

// Symbol renaming.
inline constexpr char SymbolMappingEntries[] = "SymbolMapping/entries";

// Settings dialog.
inline constexpr char DataMode[] = "Data Mode";
inline constexpr char FastBackfill[] = "fastBackfill";
inline constexpr char SlowBackfill[] = "slowBackfill";
inline constexpr char SaveLayout[] = "saveLayout";
inline constexpr char ControlAmibroker[] = "controlAmibroker";
inline constexpr char AutoEodBackfill[] = "autoEodBackfill";
inline constexpr char GapFillEnabled[] = "gapFillEnabled"; // default true

// End-of-day dialog.
inline constexpr char SelectedSymbolsBackfill[] = "selectedSymbolsBackfill";
inline constexpr char LastFeed[] = "lastFeed";
inline constexpr char LastEodDataSelectorIndex[] = "lastEodDataSelectorIndex";
inline constexpr char LastEodDataSelectorText[] = "lastEodDataSelectorText";

// A release the self-update refused (could not verify, or damaged), and when (UTC,
// ISO 8601): the same release is not downloaded again at every start.
inline constexpr char RefusedUpdateVersion[] = "refusedUpdateVersion";
inline constexpr char RefusedUpdateTime[] = "refusedUpdateTime";

// Client identifier of this installation (generated once).
inline constexpr char ClientId[] = "clientId";

} // namespace Keys
