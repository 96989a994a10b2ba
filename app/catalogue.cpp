#include "app/catalogue.h"

#include <array>

namespace tollander::app {
namespace {

using Texts = std::array<const char*, 5>; // English, German, French, Italian, Spanish

// clang-format off
const std::array<Texts, kMessageCount> kCatalogue = {{
    // MsgDebugActive
    {"Debug mode is active.",
     "Debug Programzustand in Betrieb gesetzt.",
     "Le mode DEBUG est actif.",
     "Il modulo per eliminazione errori (debug) e' attivo.",
     "Esta activo el modo de debug."},
    // MsgPressFlash
    {"Press the FLASH! button to begin flashing the currently selected modem.",
     "Drücken Sie bitte die FLASH! Knopf damit die ausgewählte Modem programmiert werden.",
     "Appuyez sur le bouton FLASH! pour commencer à flasher le modem sélectionné.",
     "Premere il pulsante FLASH! per far lampeggiare il modem correntemente selezionato.",
     "Apriete el boton de FLASH! para comensar a revelar la selecsion."},
    // MsgEnsureSelected
    {"Ensure that the correct modem is selected, and press the FLASH! button.",
     "Machen Sie sich sicher dass der richtige Modem is ausgewählt und dann drücken Sie die FLASH! Knopf.",
     "Vérifiez que le modem sélectionné est le bon, et appuyez sur FLASH!",
     "Assicurarsi che sia selezionato il modem corretto e premere FLASH!",
     "Este seguro que la selecsion de modem este corecto, entonse apriete el FLASH!"},
    // MsgNoModems
    {"No modems found to FLASH.",
     "Keinen Modem zum programmierend gefunden.",
     "Aucun modem trouvé qui puisse être flashé.",
     "Nessun modem sta lampeggiando.",
     "No encuentro modem para FLASH."},
    // MsgEnsureInstalled
    {"Ensure that you have your modem installed and press the \"Start Over\" button.",
     "Machen Sie sich sicher dass der Modem is eingeschaltet und dann drücken Sie die \"Start Over\" Knopf.",
     "Vérifiez que votre modem est installé et pressez le bouton \"Start Over\".",
     "Assicurarsi che il suo modem e' installato e premere il pulsante \"Start Over\".",
     "Aseguresé que el modem este ionstalado y apriete el boton de \"Start Over\"."},
    // MsgIntegrityPassed
    {"Flash data integrity check passed.",
     "Datensicherheit mit keinen Fehler durchgelaufen.",
     "Le test d'intégrité des données flashées a réussi.",
     "Controllo dei dati \"flash\" passato.",
     "Dato del \"flash\" paso el verificación del integridad."},
    // MsgIntegrityFailed
    {"Flash data integrity check failed.  Failure code ",
     "Datensicherheit has einen Fehler.  Fehlercode ist ",
     "Le test d'intégrité des données flashées a échoué.  Code d'erreur ",
     "Controllo dei dati \"Flash\" fallito.  Codice di fallimento ",
     "Dato del \"flash\" falló el verificación del integridad.  Verificación Código "},
    // MsgFlashingBoot
    {"Flashing boot code...",
     "Bootcode programmieren...",
     "Flash du code de boot...",
     "Lampeggiamento codice \"Boot\"...",
     "Flashing boot código..."},
    // MsgCheckingModem
    {"Checking modem integrity...",
     "Datensicherheit durchgelaufen...",
     "Test d'intégrité du modem...",
     "Controllo dell'integrita' del modem...",
     "Verificando integridad del modem..."},
    // MsgProgrammingFailed
    {"Flash programming was not successful.",
     "Programmieren war nicht erfolgreich.",
     "La programmation par flash a échoué.",
     "Il programma del \"Flash\" non ha avuto successo.",
     "Programación del \"flash\" no comenso."},
    // MsgFlashingMain
    {"Flashing main code...",
     "Hauptcode programmieren...",
     "Flash du code principal...",
     "Lampeggiamento codice principale...",
     "Código principal \"flashing\"..."},
    // MsgRewritingNvram
    {"Rewriting NVRAM templates 0 and 1...",
     "Umschreiben die NVRAM in Speicher 0 und 1...",
     "Réécriture des réglages 0 et 1 du modem...",
     "Riscrivere maschera NVRAM 0 e 1...",
     "Escribiendo de nuero el templet del NVRAM 0 y 1..."},
    // MsgResetting
    {"Resetting modem...",
     "Modem zurücksetzen...",
     "Redémarrage du modem...",
     "Riassettare il modem...",
     "Recomponiendo el modem..."},
    // MsgFailure
    {"Failure...",
     "Fehler...",
     "Echec...",
     "Fallimento...",
     "Fracasó..."},
    // MsgComplete
    {"Complete.",
     "Komplett.",
     "Terminé.",
     "Completo.",
     "Completo."},
    // MsgUploadSent
    {"Flash file upload sent successfully.",
     "Codedatei erfolgreich aufgeladen.",
     "L'envoi du fichier de flash a réussi.",
     "Il \"Flash file\" caricato inviato con successo.",
     "Fila del \"flash\" que mando trenes buen resultado."},
    // MsgUploadIncomplete
    {"Flash file upload did not complete successfully.",
     "Codedatei nicht erfolgreich aufgeladen.",
     "L'envoi du fichier de flash a échoué.",
     "Il \"Flash file\" caricato non e' stato completato con successo.",
     "Fila del \"flash\" no completó."},
    // MsgInitialized
    {" flash utility initialized...",
     " ladeprogramm initialisiert...",
     " utilitaire de flash démarré...",
     " utilita \"Flash\" inizializzata...",
     " comensando el utilidad de Flash..."},
    // MsgEnteringFlashMode
    {"Entering FLASH mode on COM",
     "Programmierenzustand durch COMx angefangen",
     "Passage en mode FLASH sur le port COM",
     "Entrare modulo \"Flash\" su COM",
     "Poniendo FLASH modo en COM"},
    // MsgNoFlashSupport
    {"Modem does not support FLASH capability.",
     "Der Modem will nicht unterstütz FLASH programmierungen.",
     "Ce modem n'accepte pas les commandes de flash.",
     "Il modem non sostiene la capacita' \"Flash\".",
     "Modem no sostiene el capabilidad de Flash."},
    // MsgCannotOpenPort
    {"Could not open COM port -- aborting.",
     "COM Anschluss konnte nicht aufshalten -- abbrechend.",
     "Impossible d'ouvrir le port de communication -- Fin du programme.",
     "Non si puo' aprire l'uscita COM -- abortire.",
     "Parando, no podia encontrar el porte de COM."},
    // MsgUpdateNotNeeded
    {"Modem does not need flash update #1.",
     "Der Modem brauche keinen neue Codedatei #1 -- abbrechend.",
     "Flash du code n°1.",
     "Modem non necessita dell'aggiornamento Flash #1.",
     "Modem no necesita actualización de Flash #1."},
    // MsgUpdateNeeded
    {"Modem needs flash update #1.",
     "Der Modem brauche die neue Codedatei #1.",
     "Le modem nécessite le flash du code n°1.",
     "Modem necessita dell'aggiornamento Flash #1.",
     "Modem necesita actualzación de Flash #1."},
    // MsgNotRespondingAbort
    {"Modem not responding -- aborting.",
     "Der Modem ist nicht reagieren -- abbrechend",
     "Le modem ne répond pas -- Fin du programme.",
     "Modem non risponde -- abortire",
     "Modem no esta respondiendo -- finalizando."},
    // MsgProgrammingRom
    {"Programming FLASHROM on COM",
     "Programmierend FLASHROM durch den COM",
     "Programmation de la mémoire de flash sur COM",
     "Programmare FLASHROM su COM",
     "Programando FLASHROM en COM"},
    // MsgNotResponding
    {"Modem is not responding...",
     "Der Modem ist nicht reagieren...",
     "Le modem ne répond pas...",
     "Modem non risponde...",
     "Modem no esta respondiendo..."},
    // MsgCommandMode
    {"Modem is in command mode...",
     "Der Modem ist in einem Command Mode zustand...",
     "Le modem est en mode commande...",
     "Modem in stato comando...",
     "Modem en el modo de mandar..."},
    // MsgStartingModemCode
    {"Modem responded correctly -- starting modem code.",
     "Der Modem arbeitet richtig - Der Modem startend.",
     "Le modem répond correctement.  Démarrage du modem.",
     "Modem ha risposto correttamente -- inizia il codice del modem.",
     "Modem respondio correctamente -- comendando el codigo de modem."},
    // MsgCodeCorrupt
    {"Modem code is corrupt.",
     "Der Modem Hauptcodedatei ist beschädigt.",
     "Le code du modem est endommagé.",
     "Il codice del modem e' rovinato.",
     "El código del modem esta corrompido."},
    // MsgNoDevice
    {"No device present on COM",
     "Keinen Geraet durch COMx gefunden",
     "Pas de périphérique détecté sur COM",
     "Nessun apparecchio e' presente su COM",
     "El artifacto no esta presente en el COM"},
    // MsgDevicePresent
    {"Device present on COM",
     "Einen Geraet durch COMx gefunden",
     "Périphérique détecté sur COM",
     "Apparecchio presente su COM",
     "El artifacto esta presente en el COM"},
    // MsgInFlashMode
    {"Modem is in flash mode... resetting COM",
     "Der Modem ist in Flash Programmierungen... zurücksetzen",
     "Le modem sur COMx est en mode flash... Redémarrage.",
     "Modem su COMx in stato \"flash\"... si riassetta.",
     "Modem en COMx esta en el modo recomponiendo de flash."},
    // MsgCodeCorruptOn
    {"Modem code is corrupt on COM",
     "Der Modem Hauptcodedatei durch COMx ist beschaedigt",
     "Le code du modem sur COMx est endommagé.",
     "Codice del modem su COMx e' rovinato.",
     "El codigo del modem en COMx esta corrompido."},
    // MsgCodeMissingOn
    {"Modem code is missing on COM",
     "Die Hauptcodedatei durch COMx is nicht gefunden",
     "Le code du modem sur COMx est absent.",
     "Il codice modem su COMx e' mancante.",
     "El codigo del modem no esta presente en COMx."},
}};
// clang-format on

} // namespace

std::string MessageText(MsgId id, int language_index) {
    if (language_index < 1 || language_index > 5) throw ERangeError();
    if (id < 1 || id > kMessageCount) throw ERangeError();
    return kCatalogue[id - 1][language_index - 1];
}

std::string NumberedLine(const std::string& text, int port) {
    return text + std::to_string(port) + ".";
}

std::string SuffixedLine(const std::string& text, int image) {
    return text + ".  (" + std::to_string(image) + ")";
}

std::string CodeLine(const std::string& text, std::int64_t code) {
    return text + " " + std::to_string(code);
}

std::string FamilyLine(const std::string& family, const std::string& text) {
    return family + text;
}

} // namespace tollander::app
