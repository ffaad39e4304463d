#!/usr/bin/python3
"""Static check of the updater's PE image: headers, the way it is shipped
(ASLR, DEP, sections, no link time), imports and resources (string tables,
version block, manifest, icon group).

    check_pe.py [--vehicle] IMAGE.exe

--vehicle checks the x86-64 test vehicle: machine AMD64, PE32+ and amd64
common controls are expected instead of i386, PE32 and x86, and its imports
are not held against the Windows XP SP3 list (the vehicle is never shipped;
its 64-bit C runtime imports differ); every other fact is the same.

Prints one line per failed fact and exits with 1 when any failed. Needs
Debian's python3-pefile (run it with /usr/bin/python3).
"""

import argparse
import struct
import sys
import xml.etree.ElementTree as ET

import pefile

# The only DLLs the updater may import: those that Windows always loads from
# the system folder (KnownDLLs), so that no copy planted beside the updater
# runs inside it. version.dll and lz32.dll are loaded at run time instead.
ALLOWED_DLLS = ("kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll")

# Every function the shipped updater may import, with where its minimum
# Windows version is documented: all of them present on Windows XP SP3.
# MSDN: the function's "Requirements" table (minimum supported client).
# msvcrt.def.in: mingw-w64-crt/lib-common/msvcrt.def.in, whose sections list
# the exports by the system msvcrt.dll that first had them.
# A new import needs a line here, with its source.
XP_SP3_IMPORTS = {
    "kernel32.dll": {
        "CloseHandle": "Windows 2000 Professional (MSDN)",
        "CopyFileW": "Windows XP (MSDN)",
        "CreateDirectoryW": "Windows XP (MSDN)",
        "CreateEventW": "Windows XP (MSDN)",
        "CreateFileW": "Windows XP (MSDN)",
        "CreateSemaphoreW": "Windows XP (MSDN)",
        "DeleteCriticalSection": "Windows XP (MSDN)",
        "DeleteFileW": "Windows XP (MSDN)",
        "DuplicateHandle": "Windows 2000 Professional (MSDN)",
        "EnterCriticalSection": "Windows XP (MSDN)",
        "FindResourceExW": "Windows XP (MSDN)",
        "FindResourceW": "Windows XP (MSDN)",
        "FreeLibrary": "Windows XP (MSDN)",
        "GetCurrentProcess": "Windows XP (MSDN)",
        "GetCurrentThreadId": "Windows XP (MSDN)",
        "GetFileAttributesA": "Windows XP (MSDN)",
        "GetFileAttributesW": "Windows XP (MSDN)",
        "GetFileInformationByHandle": "Windows XP (MSDN)",
        "GetFileSizeEx": "Windows XP (MSDN)",
        "GetFileTime": "Windows XP (MSDN)",
        "GetLastError": "Windows XP (MSDN)",
        "GetModuleFileNameW": "Windows XP (MSDN)",
        "GetModuleHandleA": "Windows XP (MSDN)",
        "GetModuleHandleW": "Windows XP (MSDN)",
        "GetNativeSystemInfo": "Windows XP (MSDN)",
        "GetProcAddress": "Windows XP (MSDN)",
        "GetStartupInfoW": "Windows XP (MSDN)",
        "GetSystemDefaultUILanguage": "Windows 2000 Professional (MSDN)",
        "GetSystemDirectoryW": "Windows XP (MSDN)",
        "GetTempPathW": "Windows XP (MSDN)",
        "GetUserDefaultUILanguage": "Windows 2000 Professional (MSDN)",
        "GetVersionExW": "Windows 2000 Professional (MSDN)",
        "GlobalAlloc": "Windows XP (MSDN)",
        "GlobalFree": "Windows XP (MSDN)",
        "GlobalLock": "Windows XP (MSDN)",
        "GlobalUnlock": "Windows XP (MSDN)",
        "InitializeCriticalSection": "Windows XP (MSDN)",
        "IsDBCSLeadByteEx": "Windows 2000 Professional (MSDN)",
        "LeaveCriticalSection": "Windows XP (MSDN)",
        "LoadLibraryA": "Windows XP (MSDN)",
        "LoadLibraryExW": "Windows XP (MSDN); the LOAD_LIBRARY_SEARCH_* flags only with SetDefaultDllDirectories",
        "LoadLibraryW": "Windows XP (MSDN)",
        "LoadResource": "Windows XP (MSDN)",
        "LocalAlloc": "Windows XP (MSDN)",
        "LocalFree": "Windows XP (MSDN)",
        "LockResource": "Windows XP (MSDN)",
        "MultiByteToWideChar": "Windows 2000 Professional (MSDN)",
        "OpenEventW": "Windows XP (MSDN)",
        "OpenMutexW": "Windows XP (MSDN)",
        "ReadFile": "Windows XP (MSDN)",
        "ReleaseSemaphore": "Windows XP (MSDN)",
        "RemoveDirectoryW": "Windows XP (MSDN)",
        "SetEndOfFile": "Windows XP (MSDN)",
        "SetErrorMode": "Windows XP (MSDN)",
        "SetEvent": "Windows XP (MSDN)",
        "SetFilePointerEx": "Windows XP (MSDN)",
        "SetFileTime": "Windows XP (MSDN)",
        "SetLastError": "Windows XP (MSDN)",
        "SetUnhandledExceptionFilter": "Windows XP (MSDN)",
        "SizeofResource": "Windows XP (MSDN)",
        "Sleep": "Windows XP (MSDN)",
        "SystemTimeToFileTime": "Windows 2000 Professional (MSDN)",
        "TlsAlloc": "Windows XP (MSDN)",
        "TlsFree": "Windows XP (MSDN)",
        "TlsGetValue": "Windows XP (MSDN)",
        "TlsSetValue": "Windows XP (MSDN)",
        "VirtualProtect": "Windows XP (MSDN)",
        "VirtualQuery": "Windows XP (MSDN)",
        "WaitForSingleObject": "Windows XP (MSDN)",
        "WideCharToMultiByte": "Windows 2000 Professional (MSDN)",
        "WriteFile": "Windows XP (MSDN)",
        "lstrcpyW": "Windows 2000 Professional (MSDN)",
        "lstrlenW": "Windows 2000 Professional (MSDN)",
    },
    "user32.dll": {
        "ExitWindowsEx": "Windows 2000 Professional (MSDN)",
        "MessageBoxW": "Windows 2000 Professional (MSDN)",
        "RegisterWindowMessageW": "Windows 2000 Professional (MSDN)",
        "wsprintfW": "Windows 2000 Professional (MSDN)",
    },
    "advapi32.dll": {
        "AddAccessAllowedAce": "Windows XP (MSDN)",
        "AddAccessDeniedAce": "Windows XP (MSDN)",
        "AdjustTokenPrivileges": "Windows XP (MSDN)",
        "AllocateAndInitializeSid": "Windows XP (MSDN)",
        "CloseServiceHandle": "Windows XP (MSDN)",
        "ControlService": "Windows XP (MSDN)",
        "ConvertStringSecurityDescriptorToSecurityDescriptorW": "Windows XP (MSDN)",
        # SHA-256 (CALG_SHA_256) through PROV_RSA_AES needs Windows XP SP3 (MSDN, ALG_ID).
        "CryptAcquireContextW": "Windows XP (MSDN)",
        "CryptCreateHash": "Windows XP (MSDN)",
        "CryptDestroyHash": "Windows XP (MSDN)",
        "CryptGenRandom": "Windows XP (MSDN)",
        "CryptGetHashParam": "Windows XP (MSDN)",
        "CryptHashData": "Windows XP (MSDN)",
        "CryptReleaseContext": "Windows XP (MSDN)",
        "EqualSid": "Windows XP (MSDN)",
        "FreeSid": "Windows XP (MSDN)",
        "GetLengthSid": "Windows XP (MSDN)",
        "GetSecurityDescriptorDacl": "Windows XP (MSDN)",
        "GetTokenInformation": "Windows XP (MSDN)",
        "InitializeAcl": "Windows XP (MSDN)",
        "InitializeSecurityDescriptor": "Windows XP (MSDN)",
        "LookupPrivilegeValueW": "Windows XP (MSDN)",
        "OpenProcessToken": "Windows XP (MSDN)",
        "OpenSCManagerW": "Windows XP (MSDN)",
        "OpenServiceW": "Windows XP (MSDN)",
        "QueryServiceStatusEx": "Windows XP (MSDN)",
        "RegCloseKey": "Windows 2000 Professional (MSDN)",
        "RegCreateKeyExW": "Windows 2000 Professional (MSDN)",
        "RegOpenKeyExW": "Windows 2000 Professional (MSDN)",
        "RegQueryValueExW": "Windows 2000 Professional (MSDN)",
        "RegSetValueExW": "Windows 2000 Professional (MSDN)",
        "SetSecurityDescriptorDacl": "Windows XP (MSDN)",
        "StartServiceW": "Windows XP (MSDN)",
    },
    # The C runtime's own start-up and what libstdc++ and libgcc call in it.
    "msvcrt.dll": dict(
        {name: "Windows NT 4.0 msvcrt.dll (msvcrt.def.in)" for name in (
            "__mb_cur_max", "__p__commode", "__p__fmode", "__p__wcmdln", "__set_app_type",
            "__setusermatherr", "__wgetmainargs", "__winitenv", "_amsg_exit", "_cexit", "_close",
            "_errno", "_initterm", "_iob", "_onexit", "_read", "_vsnwprintf", "abort", "atoi",
            "calloc", "exit", "fprintf", "fputc", "fputs", "fputwc", "free", "fwprintf", "fwrite",
            "localeconv", "malloc", "memchr", "memcmp", "memcpy", "memmove", "memset", "realloc",
            "setlocale", "signal", "strchr", "strcmp", "strerror", "strlen", "strncmp", "vfprintf",
            "wcslen")},
        _vscwprintf="Windows XP msvcrt.dll (msvcrt.def.in)"),
}

# IMAGE_OPTIONAL_HEADER.DllCharacteristics, IMAGE_FILE_HEADER.Characteristics
# and IMAGE_SECTION_HEADER.Characteristics bits.
DYNAMIC_BASE, NX_COMPAT = 0x0040, 0x0100
RELOCS_STRIPPED = 0x0001
SECTION_EXECUTE, SECTION_WRITE = 0x20000000, 0x80000000

RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 6, 14, 16, 24

LANGUAGES = (1028, 1031, 1033, 1034, 1036, 1040, 1041, 1042, 1043, 1049, 2052, 3082)
# Which languages hold a copy of each string-table block.
BLOCK_LANGUAGES = {65: LANGUAGES, 66: LANGUAGES, 67: (1033, 1041)}

# The catalogue: language -> id -> text. An id missing here must be an
# empty entry wherever its block exists.
TEXTS = {
    1028: {
        1024: "Pellan 分析管理員",
        1027: "Pellan 分析管理員設定",
        1040: "只有管理員群組成員能執行此軟體。請聯絡您的管理員，或登出後，以管理員身份重新登入，然後再重試一次。",
    },
    1031: {
        1024: "Pellan-Analysemanager",
        1027: "Einstellungen für Pellan-Analysemanager",
        1040: "Nur Benutzer mit Administratorstatus können dieses Programm ausführen. Bitte wenden Sie sich an Ihren Administrator, oder melden Sie sich ab und melden Sie sich dann als Administrator wieder an, und versuchen Sie es erneut.",
    },
    1033: {
        1024: "Pellan Analysis Manager",
        1027: "Pellan Analysis Manager Settings",
        1040: "Only the member of the Administrators group can execute this software. Please contact your administrator, or log off and log on again as an administator and try again.",
        1056: "There is no target model for this program.",
        1057: "There is no need to update the program.",
        1058: "Update completed.",
        1059: "Update failed.",
        1060: "Update failed.\r\n(code = 0x%08x)",
        1061: "Your Pellan must restart for the update to complete.",
    },
    1034: {
        1024: "Administrador de análisis del Pellan",
        1027: "Configuración de Administrador de análisis del Pellan",
        1040: "Este software solamente pueden ejecutarlo los miembros del grupo Administradores. Póngase en contacto con su administrador, o bien cierre la sesión, vuelva a iniciarla como administrador e inténtelo de nuevo.",
    },
    1036: {
        1024: "Gestionnaire d'analyse Pellan",
        1027: "Paramètres du Gestionnaire d’analyse Pellan",
        1040: "Seul un membre du groupe Administrateurs peut exécuter ce logiciel. Contactez votre administrateur, ou déconnectez-vous puis reconnectez-vous en tant qu'administrateur puis réessayez.",
    },
    1040: {
        1024: "Gestione analisi Pellan",
        1027: "Impostazioni di Gestione analisi Pellan",
        1040: "Questo software può essere eseguito solo da un membro del gruppo Administrators. Contattare l’amministratore oppure scollegarsi e collegarsi di nuovo come amministratore, quindi provare di nuovo.",
    },
    1041: {
        1024: "Pellan 解析マネージャー",
        1027: "Pellan 解析マネージャーの設定",
        1040: "このソフトウェアを実行できるのは、Administrators グループのユーザだけです。このコンピュータの管理者に問い合わせるか、Administrators グループのユーザ名でログオンし直してください。",
        1056: "このプログラムの対象機種ではありません。",
        1057: "更新する必要はありません。",
        1058: "更新が完了しました。",
        1059: "更新に失敗しました。",
        1060: "更新に失敗しました。\r\n(code = 0x%08x)",
        1061: "アップデートを完了するには、Pellan を再起動する必要があります。",
    },
    1042: {
        1024: "Pellan 분석 관리자",
        1027: "Pellan 분석 관리자 설정",
        1040: "관리자 그룹의 구성원만 이 소프트웨어를 수행할 수 있습니다. 관리자에게 문의하거나 로그오프했다가 관리자로 다시 로그온한 다음 다시 시도하십시오.",
    },
    1043: {
        1024: "Analysebeheer Pellan",
        1027: "Instellingen voor Analysebeheer Pellan",
        1040: "Alleen Beheerders kunnen deze software uitvoeren. Neem contact op met uw beheerder of meld u af en terug aan als een beheerder en probeer het opnieuw.",
    },
    1049: {
        1024: "Аналитический диспетчер Pellan",
        1027: "Настройки Аналитического диспетчера Pellan",
        1040: "С этим программным обеспечением могут работать только пользователи с правами администратора. Обратитесь за помощью к системному администратору или войдите в систему с правами администратора и повторите попытку.",
    },
    2052: {
        1024: "Pellan 分析管理器",
        1027: "Pellan 分析管理器设置",
        1040: "只有“管理员”组里的成员才能执行该软件。请联系您的管理员，或者尝试在注销后以管理员身份再次登录。",
    },
    3082: {
        1024: "Administrador de análisis del Pellan",
        1027: "Configuración de Administrador de análisis del Pellan",
        1040: "Este software solamente pueden ejecutarlo los miembros del grupo Administradores. Póngase en contacto con su administrador, o bien cierre la sesión, vuelva a iniciarla como administrador e inténtelo de nuevo.",
    },
}

VERSION_STRINGS = {
    "FileDescription": "Pellan Tagwise Manager 3.7/3.8 Music Update Program",
    "InternalName": "TagmindEngineMMLibUpdater",
    "OriginalFilename": "TagmindEngineMMLibUpdater.exe",
    "ProductName": "Pellan Tagwise Manager",
    "ProductVersion": "3.9.0",
}
FILE_VERSION = (3, 9, 0, 11260)
PRODUCT_VERSION = (3, 9, 0, 0)
TRANSLATIONS = [(0x0409, 0x04B0)]

ICON_GROUP = 139
ICON_IMAGES = {(size, bpp) for size in (256, 48, 32, 16) for bpp in (8, 32)}

NS_ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
NS_TRUST = ("urn:schemas-microsoft-com:asm.v2", "urn:schemas-microsoft-com:asm.v3")
NS_WINDOWS_SETTINGS = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
NS_COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Windows Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
}


class Report:
    def __init__(self):
        self.failures = 0

    def expect(self, condition, message):
        if not condition:
            self.failures += 1
            print("FAIL: " + message)
        return condition


def hexs(values):
    return "[" + ", ".join("%d (0x%04x)" % (v, v) if isinstance(v, int) else repr(v) for v in values) + "]"


# --- headers and imports ---------------------------------------------------

def check_headers(pe, report, vehicle):
    machine, magic, kind = (0x8664, 0x20B, "PE32+ AMD64") if vehicle else (0x14C, 0x10B, "PE32 i386")
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    report.expect(fh.Machine == machine, "machine 0x%04x, expected 0x%04x (%s)" % (fh.Machine, machine, kind))
    report.expect(oh.Magic == magic, "optional header magic 0x%03x, expected 0x%03x (%s)" % (oh.Magic, magic, kind))
    report.expect(oh.Subsystem == 2, "subsystem %d, expected 2 (Windows GUI)" % oh.Subsystem)
    got = (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)
    report.expect(got == (5, 1), "subsystem version %d.%02d, expected 5.01" % got)
    got = (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion)
    report.expect(got == (5, 1), "operating system version %d.%02d, expected 5.01" % got)


def check_shipping(pe, report):
    """ASLR and DEP, relocations to move the image with, no section that is
    both writable and executable, and no link time in the image."""
    oh, fh = pe.OPTIONAL_HEADER, pe.FILE_HEADER
    report.expect(oh.DllCharacteristics & DYNAMIC_BASE, "DllCharacteristics 0x%04x: no DYNAMIC_BASE (ASLR)" % oh.DllCharacteristics)
    report.expect(oh.DllCharacteristics & NX_COMPAT, "DllCharacteristics 0x%04x: no NX_COMPAT (DEP)" % oh.DllCharacteristics)
    report.expect(not fh.Characteristics & RELOCS_STRIPPED,
                  "file characteristics 0x%04x: relocations stripped, the image cannot move" % fh.Characteristics)
    directory = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    blocks = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    report.expect(directory.Size > 0 and blocks,
                  "no base relocations (directory of %d bytes, %d blocks)" % (directory.Size, len(blocks)))
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode("ascii", "replace")
        flags = section.Characteristics
        report.expect(not (flags & SECTION_EXECUTE and flags & SECTION_WRITE),
                      "section %s is writable and executable (0x%08x)" % (name, flags))
    report.expect(fh.TimeDateStamp == 0, "link time stamp 0x%08x: the image is not reproducible" % fh.TimeDateStamp)


def imports(pe):
    """DLL name (lower case) -> set of imported names (or ordinals)."""
    found = {}
    for attr in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attr, []):
            names = found.setdefault(entry.dll.decode("ascii", "replace").lower(), set())
            for imp in entry.imports:
                names.add(imp.name.decode("ascii", "replace") if imp.name else "#%d" % imp.ordinal)
    return found


def check_imports(pe, report, vehicle):
    found = imports(pe)
    report.expect(found, "no import table")
    report.expect(not getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []), "delay-load imports: %s" % ", ".join(
        e.dll.decode("ascii", "replace") for e in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])))
    for dll in sorted(found):
        report.expect(dll in ALLOWED_DLLS, "imports %s, which is not one of %s" % (dll, ", ".join(ALLOWED_DLLS)))
        if vehicle or dll not in ALLOWED_DLLS:
            continue
        for name in sorted(found[dll] - set(XP_SP3_IMPORTS[dll])):
            report.expect(False, "imports %s!%s, which is not on the Windows XP SP3 list" % (dll, name))
    # The C runtime's startup for wWinMain asks for the wide arguments; the
    # narrow startup asks for __getmainargs instead.
    crt = found.get("msvcrt.dll", set())
    report.expect("__wgetmainargs" in crt, "msvcrt.dll: __wgetmainargs not imported (no Unicode entry point)")
    report.expect("__getmainargs" not in crt, "msvcrt.dll: __getmainargs imported (narrow entry point)")


# --- resources -------------------------------------------------------------

def resources(pe):
    """type -> name -> language -> bytes; ids are ints, names upper-case strings."""
    tree = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return tree

    def key(entry):
        return str(entry.name).upper() if entry.name is not None else entry.id

    for type_entry in root.entries:
        names = tree.setdefault(key(type_entry), {})
        for name_entry in type_entry.directory.entries:
            languages = names.setdefault(key(name_entry), {})
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                languages[lang_entry.id] = pe.get_data(data.OffsetToData, data.Size)
    return tree


def string_block_entries(data):
    """The 16 texts of a string-table block, or None when it is malformed."""
    entries, pos = [], 0
    for _ in range(16):
        if pos + 2 > len(data):
            return None
        (count,) = struct.unpack_from("<H", data, pos)
        pos += 2
        if pos + 2 * count > len(data):
            return None
        entries.append(data[pos:pos + 2 * count].decode("utf-16-le"))
        pos += 2 * count
    return entries if pos == len(data) else None


def check_string_tables(tree, report):
    blocks = tree.get(RT_STRING, {})
    report.expect(sorted(blocks, key=str) == sorted(BLOCK_LANGUAGES, key=str),
                  "string-table blocks %s, expected %s" % (hexs(sorted(blocks, key=str)), hexs(sorted(BLOCK_LANGUAGES))))
    for block, copies in sorted(blocks.items(), key=lambda kv: str(kv[0])):
        wanted = BLOCK_LANGUAGES.get(block)
        if wanted is None:
            continue
        report.expect(sorted(copies) == sorted(wanted),
                      "block %s in languages %s, expected %s" % (block, hexs(sorted(copies)), hexs(sorted(wanted))))
        for lang, data in sorted(copies.items()):
            entries = string_block_entries(data)
            if not report.expect(entries is not None, "block %s, language %d: not 16 well-formed entries (%d bytes)"
                                 % (block, lang, len(data))):
                continue
            for position, text in enumerate(entries):
                text_id = (block - 1) * 16 + position
                expected = TEXTS.get(lang, {}).get(text_id, "")
                report.expect(text == expected, "language %d, id %d: %r, expected %r" % (lang, text_id, text, expected))
    # Every text of the table must have been looked at above.
    for lang, texts in TEXTS.items():
        for text_id in texts:
            block = text_id // 16 + 1
            report.expect(lang in BLOCK_LANGUAGES.get(block, ()), "table error: id %d in language %d" % (text_id, lang))


def parse_version_node(data, offset):
    """One node of a VS_VERSIONINFO tree: (key, type, value bytes, rest bytes,
    children offsets, end). `rest` runs from the value to the node's end."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    pos = offset + 6
    key_end = pos
    while key_end + 1 < end and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    value_bytes = value_length * (2 if kind == 1 else 1)
    value = data[pos:pos + value_bytes]
    rest = data[pos:end]
    children = []
    child = (pos + value_bytes + 3) & ~3
    while child + 6 <= end:
        (child_length,) = struct.unpack_from("<H", data, child)
        if child_length == 0:
            break
        children.append(child)
        child = (child + child_length + 3) & ~3
    return key, kind, value, rest, children, end


def check_version(tree, report):
    copies = [(name, lang, data) for name, langs in tree.get(RT_VERSION, {}).items() for lang, data in langs.items()]
    if not report.expect(len(copies) == 1, "%d version resources, expected 1" % len(copies)):
        if not copies:
            return
    name, lang, data = copies[0]
    report.expect(name == 1, "version resource id %r, expected 1" % (name,))
    key, _, value, _, children, _ = parse_version_node(data, 0)
    report.expect(key == "VS_VERSION_INFO", "version root key %r" % key)
    if not report.expect(len(value) == 52, "fixed file info of %d bytes, expected 52" % len(value)):
        return
    fixed = struct.unpack("<13I", value)
    report.expect(fixed[0] == 0xFEEF04BD, "fixed file info signature 0x%08x" % fixed[0])
    file_version = (fixed[2] >> 16, fixed[2] & 0xFFFF, fixed[3] >> 16, fixed[3] & 0xFFFF)
    product_version = (fixed[4] >> 16, fixed[4] & 0xFFFF, fixed[5] >> 16, fixed[5] & 0xFFFF)
    report.expect(file_version == FILE_VERSION, "file version %s, expected %s" % (
        ".".join(map(str, file_version)), ".".join(map(str, FILE_VERSION))))
    report.expect(product_version == PRODUCT_VERSION, "product version %s, expected %s" % (
        ".".join(map(str, product_version)), ".".join(map(str, PRODUCT_VERSION))))

    tables, translations, sections = {}, [], []
    for child in children:
        child_key, _, _, _, grandchildren, _ = parse_version_node(data, child)
        sections.append(child_key)
        if child_key == "StringFileInfo":
            for table in grandchildren:
                table_key, _, _, _, strings, _ = parse_version_node(data, table)
                values = tables.setdefault(table_key, {})
                for string in strings:
                    string_key, _, _, rest, _, _ = parse_version_node(data, string)
                    values[string_key] = rest.decode("utf-16-le").rstrip("\0")
        elif child_key == "VarFileInfo":
            for var in grandchildren:
                var_key, _, var_value, _, _, _ = parse_version_node(data, var)
                if var_key == "Translation":
                    words = struct.unpack("<%dH" % (len(var_value) // 2), var_value[:len(var_value) // 2 * 2])
                    translations += list(zip(words[0::2], words[1::2]))
    report.expect(sorted(sections) == ["StringFileInfo", "VarFileInfo"], "version sections %r" % sections)
    report.expect(translations == TRANSLATIONS, "translations %s, expected %s" % (
        ["%04x/%04x" % t for t in translations], ["%04x/%04x" % t for t in TRANSLATIONS]))
    report.expect(list(tables) == ["040904b0"], "string tables %r, expected ['040904b0']" % list(tables))
    values = tables.get("040904b0", {})
    report.expect(values == VERSION_STRINGS, "version strings %r, expected %r" % (values, VERSION_STRINGS))


def local(tag):
    return tag.rsplit("}", 1)[-1]


def namespace(tag):
    return tag[1:].split("}", 1)[0] if tag.startswith("{") else ""


def check_manifest(tree, report, vehicle=False):
    copies = [(name, data) for name, langs in tree.get(RT_MANIFEST, {}).items() for data in langs.values()]
    if not report.expect(len(copies) == 1, "%d manifests, expected 1" % len(copies)):
        if not copies:
            return
    name, data = copies[0]
    report.expect(name == 1, "manifest id %r, expected 1 (CREATEPROCESS_MANIFEST_RESOURCE_ID)" % (name,))
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        report.expect(False, "manifest is not well-formed XML: %s" % e)
        return
    report.expect(root.tag == "{%s}assembly" % NS_ASM_V1, "manifest root %s" % root.tag)
    report.expect(root.get("manifestVersion") == "1.0", "manifestVersion %r" % root.get("manifestVersion"))

    levels = [e for e in root.iter() if local(e.tag) == "requestedExecutionLevel" and namespace(e.tag) in NS_TRUST]
    if report.expect(len(levels) == 1, "%d requestedExecutionLevel elements, expected 1" % len(levels)):
        report.expect(levels[0].get("level") == "requireAdministrator",
                      "execution level %r, expected 'requireAdministrator'" % levels[0].get("level"))
        report.expect(levels[0].get("uiAccess") == "false", "uiAccess %r, expected 'false'" % levels[0].get("uiAccess"))

    dpi = [e for e in root.iter("{%s}dpiAware" % NS_WINDOWS_SETTINGS)]
    if report.expect(len(dpi) == 1, "%d dpiAware elements, expected 1" % len(dpi)):
        report.expect((dpi[0].text or "").strip().lower() == "true", "dpiAware %r, expected 'true'" % dpi[0].text)

    systems = {(e.get("Id") or "").lower() for e in root.iter("{%s}supportedOS" % NS_COMPATIBILITY)}
    report.expect(systems == SUPPORTED_OS, "supportedOS %s, expected %s (Vista, 7)" % (sorted(systems), sorted(SUPPORTED_OS)))

    controls = [e for e in root.iter("{%s}assemblyIdentity" % NS_ASM_V1)
                if e.get("name") == "Microsoft.Windows.Common-Controls"]
    if report.expect(len(controls) == 1, "%d Common-Controls dependencies, expected 1" % len(controls)):
        c = controls[0]
        parents = {child: parent for parent in root.iter() for child in parent}
        report.expect(local(parents[c].tag) == "dependentAssembly", "Common-Controls identity outside dependentAssembly")
        for attribute, expected in (("type", "win32"), ("version", "6.0.0.0"), ("processorArchitecture", "amd64" if vehicle else "x86"),
                                    ("publicKeyToken", "6595b64144ccf1df")):
            report.expect(c.get(attribute) == expected,
                          "Common-Controls %s %r, expected %r" % (attribute, c.get(attribute), expected))


def icon_image_facts(data):
    """(width, height, bits per pixel, has alpha, well-formed) of an RT_ICON."""
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        if len(data) < 33 or data[12:16] != b"IHDR":
            return None
        width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
        bpp = {(8, 6): 32, (8, 3): 8}.get((depth, colour))
        return width, height, bpp, colour == 6, True
    if len(data) < 40:
        return None
    size, width, height, planes, bpp, compression, _, _, _, used, _ = struct.unpack_from("<IiiHHIIiiII", data)
    if size != 40 or planes != 1 or compression != 0 or height != 2 * width or width <= 0:
        return width, height // 2, bpp, False, False
    colours = (used or 1 << bpp) if bpp <= 8 else 0
    xor_stride = (width * bpp + 31) // 32 * 4
    and_stride = (width + 31) // 32 * 4
    pixels = 40 + 4 * colours
    expected = pixels + (xor_stride + and_stride) * width
    has_alpha = False
    if bpp == 32 and len(data) >= pixels + xor_stride * width:
        alpha = data[pixels + 3:pixels + xor_stride * width:4]
        has_alpha = min(alpha) == 0 and max(alpha) == 255
    return width, height // 2, bpp, has_alpha, len(data) == expected


def check_icons(tree, report):
    groups = tree.get(RT_GROUP_ICON, {})
    report.expect(sorted(groups, key=str) == [ICON_GROUP], "icon groups %r, expected [%d]" % (sorted(groups, key=str), ICON_GROUP))
    group = groups.get(ICON_GROUP)
    if not group:
        return
    data = next(iter(group.values()))
    reserved, kind, count = struct.unpack_from("<HHH", data)
    report.expect((reserved, kind) == (0, 1), "icon group header %d/%d, expected 0/1" % (reserved, kind))
    if not report.expect(len(data) == 6 + 14 * count, "icon group of %d bytes for %d entries" % (len(data), count)):
        return
    icons = tree.get(RT_ICON, {})
    seen, referenced = [], set()
    for i in range(count):
        w, h, colours, _, planes, bpp, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        w, h = w or 256, h or 256
        what = "icon %d (entry %dx%d, %d bpp)" % (icon_id, w, h, bpp)
        seen.append((w, bpp))
        referenced.add(icon_id)
        report.expect(w == h, what + ": not square")
        report.expect(planes == 1 and colours == 0, what + ": planes %d, colour count %d" % (planes, colours))
        copies = icons.get(icon_id, {})
        if not report.expect(len(copies) == 1, what + ": %d RT_ICON copies, expected 1" % len(copies)):
            continue
        image = next(iter(copies.values()))
        report.expect(len(image) == size, what + ": %d bytes, the group says %d" % (len(image), size))
        facts = icon_image_facts(image)
        if not report.expect(facts is not None, what + ": neither a PNG nor a DIB"):
            continue
        iw, ih, ibpp, alpha, sound = facts
        report.expect(sound, what + ": malformed image")
        report.expect((iw, ih, ibpp) == (w, h, bpp), what + ": image is %dx%d at %s bpp" % (iw, ih, ibpp))
        if bpp == 32:
            report.expect(alpha, what + ": no alpha channel with transparent and opaque pixels")
    report.expect(sorted(seen) == sorted(ICON_IMAGES), "icon images %s, expected %s" % (sorted(seen), sorted(ICON_IMAGES)))
    report.expect(set(icons) == referenced, "RT_ICON ids %s, the group refers to %s" % (sorted(icons, key=str), sorted(referenced)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vehicle", action="store_true", help="the x86-64 test vehicle: AMD64, PE32+")
    parser.add_argument("image")
    args = parser.parse_args()
    try:
        pe = pefile.PE(args.image)
    except (OSError, pefile.PEFormatError) as e:
        print("FAIL: cannot read %s: %s" % (args.image, e))
        return 1
    report = Report()
    check_headers(pe, report, args.vehicle)
    check_shipping(pe, report)
    check_imports(pe, report, args.vehicle)
    tree = resources(pe)
    check_string_tables(tree, report)
    check_version(tree, report)
    check_manifest(tree, report, args.vehicle)
    check_icons(tree, report)
    if report.failures:
        print("%s: %d check(s) failed" % (args.image, report.failures))
        return 1
    print("%s: all checks passed" % args.image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
