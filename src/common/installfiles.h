#pragma once

// Names of the files and folders inside the install folder; turn them into full
// paths with Platform::installPath() / installPathFwd().
namespace InstallFiles {

inline constexpr char TickFile[] = "rtsocket.txt";
inline constexpr char ImportFile[] = "rtimport.txt";
// Live import lines AmiBroker did not take (busy, closed, crashed), in stream
// order, until it takes them; kept across runs of the program.
inline constexpr char HeldImportFile[] = "rtimport_held.txt";
inline constexpr char LiveFormat[] = "dataFormatRT.dll";
inline constexpr char BackfillFormat[] = "dataFormat.dll";
inline constexpr char EodFormat[] = "dataFormatEod.dll";
inline constexpr char BackfillArchive[] = "backfilldata.zip";
inline constexpr char BackfillFolder[] = "Backfill";
inline constexpr char WorkFolder[] = "sqldrivers/x86";
inline constexpr char AmibrokerFolder[] = "Amibroker";
inline constexpr char DatabaseFolder[] = "Amibroker/AF1000";
inline constexpr char LayoutFile[] = "Amibroker/AF1000/Layouts/Default.awl";
inline constexpr char SeedFolder[] = "dbfiles";
inline constexpr char UpdateArchive[] = "Quillmark_update.zip";
// A new release is unpacked here; the restart script moves it into place once the
// running program (whose files Windows will not let anyone overwrite) has ended.
inline constexpr char UpdateStaging[] = "UpdateStaging";
// Written by the restart script when the staged release could not be moved into
// place (the installed release was kept); the next start reports it and removes it.
inline constexpr char UpdateFailedNote[] = "UpdateFailed.txt";
// The program's log, one file a day (LogFile).
inline constexpr char LogFolder[] = "logs";
// At a release's root: the list of its files with their sizes and SHA-256, and the
// Ed25519 signature of that list's exact bytes by our release key (base64, one line).
inline constexpr char ReleaseManifest[] = "release.json";
inline constexpr char ReleaseSignature[] = "release.sig";
inline constexpr char AutomationJournal[] = "Amibroker/automation.log";
inline constexpr char ImportedJournal[] = "Amibroker/imported.txt";
inline constexpr char StandInQuotes[] = "Amibroker/quotes.txt";
inline constexpr char StandInImportLog[] = "Amibroker/import.log";
// Tells AmiBroker's stand-ins how to misbehave (see BrokerStandIn).
inline constexpr char StandInControl[] = "Amibroker/control.txt";

} // namespace InstallFiles
