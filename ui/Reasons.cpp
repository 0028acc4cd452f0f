#include "ui/Reasons.h"

#include "ui/Resources.h"

namespace {

// The file's own name: the line has room for little more.
std::wstring FileName(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return FromWindows1252(slash == std::string::npos ? path : path.substr(slash + 1));
}

std::wstring Megabytes(std::uint64_t bytes) { return std::to_wstring((bytes + (1u << 20) - 1) >> 20); }

}  // namespace

std::wstring ReasonText(const TFailure& failure) {
    const std::wstring file = FileName(failure.path);
    switch (failure.fault) {
        case TFault::None:
        case TFault::Stopped: return std::wstring();
        case TFault::InUse:
            if (!failure.holder.empty()) return L"Cierra " + FromWindows1252(failure.holder) + L" y pulsa Comprobar Archivos";
            return L"Archivo en uso: cierra el juego y pulsa Comprobar Archivos";
        case TFault::DiskFull:
            if (failure.bytesShort > 0) return L"Falta espacio: se necesitan " + Megabytes(failure.bytesShort) + L" MB m\u00E1s";
            return L"Falta espacio en el disco";
        case TFault::AccessDenied: return L"Sin permiso para escribir " + file;
        case TFault::PathTooLong: return L"Ruta demasiado larga: " + file;
        case TFault::CannotConnect: return L"Sin conexi\u00F3n con el servidor";
        case TFault::ServerError: return L"Error del servidor (" + std::to_wstring(failure.code) + L")";
        case TFault::Stalled: return L"El servidor dej\u00F3 de responder";
        case TFault::Cut: return L"Se cort\u00F3 la descarga de " + file;
        case TFault::TooLarge:
        case TFault::Corrupt:
        case TFault::DigestMismatch: return file.empty() ? L"Lleg\u00F3 un archivo da\u00F1ado" : file + L" lleg\u00F3 da\u00F1ado";
        // A named file (the new updater, a patch) failed its signature; else the list did.
        case TFault::NotTrusted:
            return file.empty() ? L"Lista de archivos sin firma v\u00E1lida" : L"Firma no v\u00E1lida: " + file;
        case TFault::BadList: return L"La lista de archivos no es v\u00E1lida";
        case TFault::UnsafeName: return L"La lista nombra un archivo no permitido";
        case TFault::Duplicate: return file + L" figura dos veces en la lista";
        case TFault::NotFound: return L"No se encontr\u00F3 " + file;
        case TFault::NameTaken: return L"No se pudo crear un archivo temporal";
        case TFault::Other: break;
    }
    return file.empty() ? L"No se pudo actualizar" : L"No se pudo actualizar " + file;
}
