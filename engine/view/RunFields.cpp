#include "engine/view/RunFields.h"

const char* PhaseText(TRunPhase phase) {
    switch (phase) {
        case TRunPhase::Idle: return "";
        case TRunPhase::Searching: return "Buscando Actualizaciones...";
        case TRunPhase::CheckingFiles: return "Comprobando Archivos...";
        case TRunPhase::Checking: return "Comprobando...";
        case TRunPhase::Downloading: return "Descargando...";
        case TRunPhase::Extracting: return "Extrayendo...";
        case TRunPhase::Failed: return "Actualizaci\xF3n Fallida";
    }
    return "";
}

void TRunFields::SetPhase(TRunPhase phase) {
    Phase = phase;
    StatusText = PhaseText(phase);
}
