// Window texts and message texts in both languages, and the two procedures that set
// the window's texts at run time.
#include "workflow/texts.h"

#include <string>

#include "version.h"
#include "workflow/frmGetAll.h"

namespace dravlin::texts {

namespace {
constexpr const char* kCrLf = "\r\n";

std::string Lines(std::initializer_list<const char*> lines) {
  std::string out;
  bool first = true;
  for (const char* line : lines) {
    if (!first) out += kCrLf;
    out += line;
    first = false;
  }
  return out;
}
}  // namespace

std::string VersionLabel() {
  return "v" + std::to_string(DRAVLIN_VERSION_MAJOR) + "." + std::to_string(DRAVLIN_VERSION_MINOR) +
         std::to_string(DRAVLIN_VERSION_REVISION);
}

std::string PartnerLine() {
  return "www.netzsicherheit-hilfe.example  |  www.browser-frei.example";
}

std::string NoAdminMessage(bool german) {
  return german
             ? Lines({"Das Programm benötigt Administrator-Rechte",
                      "um die Desinfizierung durchführen zu können.", "", "Programm wird beendet."})
             : Lines({"Disinfection needs administrator rights", "to disinfect your Computer.", "",
                      "Program will be terminated."});
}

std::string NoAdminLogLine(bool german) {
  return german ? " Keine Admin-Rechte->beenden" : " No admin rights->terminate";
}

std::string KeyNotFoundMessage(bool german) {
  return german ? Lines({"Schlüssel nicht gefunden", "", "Programm wird beendet."})
                : Lines({"Key not found", "", "Program will be terminated."});
}

std::string RestartMessage(bool german, bool autoRestart) {
  if (german) {
    return autoRestart ? "Ihr Computer wird jetzt neu gestartet."
                       : "Bitte schliessen sie jetzt das Programm und starten Ihren Rechner neu";
  }
  return autoRestart ? "Your computer will be restarted now."
                     : "Please close the program and restart your computer";
}

std::string DisinfectedMessage(bool german) {
  return german ? Lines({"Ihr Rechner wurde desinfiziert!!!", "",
                         "Um einer erneuten Infizierung vorzubeugen, sollten Sie",
                         "regelmässig Windows-Update ausführen.", "",
                         "Desweiteren ist der Umstieg auf einen alternativen Browser",
                         "zu empfehlen."})
                : Lines({"Your computer now is disinfected!!!", "",
                         "In order to prevent a renewed infection, you should ",
                         "execute regularly Windows-Update.", "",
                         "It is recommended to use an alternative browser."});
}

std::string CleanupErrorMessage(bool german) {
  return german ? Lines({"Fehler beim abschliessen der Bereinigung. Weitere Infos im Log-File.", "",
                         "Programm wird beendet."})
                : Lines({"Error on Cleaning. Read the Log for further infos.", "",
                         "Program will be terminated."});
}

std::string NotInfectedMarker(bool german) {
  return german ? "Nicht infiziert" : "not infected";
}

std::string NotInfectedSuffix(bool german) {
  return german ? " -> Nicht Infiziert !" : " -> not infected !";
}

std::string CompleteCaption(bool german) {
  return german ? "Desinfektion abschliessen" : "Complete disinfection";
}

// The log is ANSI text written as it stands, so its German lines do without umlauts.
std::string KeyNotMovedLogLine(bool german) {
  return german
             ? " Fehler beim Verschieben des Windows-Schluessels -> Schluessel wiederhergestellt,"
               " Programm beendet"
             : " Error while moving Windows-Key -> Key restored, Programm terminated";
}

std::string KeyNotRestoredLogLine(bool german) {
  return german
             ? " Fehler beim Zurueckschreiben des Windows-Schluessels -> Kopie in Windows_Hijacked"
               " bleibt, Programm beendet"
             : " Error while restoring Windows-Key -> Copy kept in Windows_Hijacked, Programm"
               " terminated";
}

std::string EmptyKeyRemovedLogLine(bool german) {
  return german ? " Leerer Windows-Schluessel entfernt" : " Empty Windows-Key removed";
}

std::string LeftOverLogLine(bool german, const std::string& item) {
  return (german ? " Nicht entfernt: " : " Not removed: ") + item;
}

std::string NotReadableLogLine(bool german, const std::string& item) {
  return (german ? " Nicht lesbar: " : " Not readable: ") + item;
}

std::string PagesKeptLogLine(bool german) {
  return german ? " IE-Seiten bleiben, solange ein BHO bleibt"
                : " IE-pages kept while a BHO is left";
}

std::string ParkedCopyRemovedLogLine(bool german) {
  return german ? " Kopie in Windows_Hijacked entfernt" : " Copy in Windows_Hijacked removed";
}

std::string ParkedCopyReplacedLogLine(bool german) {
  return german ? " Alte Kopie in Windows_Hijacked gesichert und ersetzt"
                : " Old copy in Windows_Hijacked backed up and replaced";
}

std::string BackupLogLine(bool german, const std::string& folder) {
  return (german ? " Sicherung in: " : " Backup in: ") + folder;
}

}  // namespace dravlin::texts

namespace dravlin {

using platform::Control;

void frmGetAll::LocalizeTexts() {
  auto& window = Window();
  window.SetText(Control::Label4, texts::PartnerLine());
  window.SetText(Control::Label5, texts::VersionLabel());
  if (German()) {
    window.SetText(Control::Command2, "Schliessen");
    window.SetText(Control::Frame1, "Erklärung");
    window.SetText(Control::Label3, "In Zusammenarbeit mit:");
    window.SetText(Control::CB_start, "Desinfektion starten");
    window.SetText(Control::label2,
                   "Mit Klick auf 'Desinfektion starten' wird der erste Schritt ausgeführt.\r\n"
                   "\r\n"
                   "Danach muss Ihr Rechner neu gestartet werden.\r\n"
                   "\r\n"
                   "Nach dem Neustart ruft sich das Programm selbständig\r\n"
                   "neu auf und die Desinfektion kann abgeschlossen werden.");
  } else {
    window.SetText(Control::Command2, "close");
    window.SetText(Control::Frame1, "Description");
    window.SetText(Control::Label3, "In cooperation with:");
    window.SetText(Control::CB_start, "start disinfection");
    window.SetText(Control::label2,
                   "With click on 'start disinfection' the first step will be executed.\r\n"
                   "\r\n"
                   "After that your computer will be be restarted.\r\n"
                   "\r\n"
                   "After the restart the program calls itself independently\r\n"
                   "and the disinfection can be completed.");
  }
}

void frmGetAll::SetCompleteCaption() {
  Window().SetText(Control::CB_start, texts::CompleteCaption(German()));
}

}  // namespace dravlin
