// Fixed names and every text the installer writes: console lines and the lines of Entry.lua.
#pragma once

// The simulator's per-user folders, in the order they are processed.
constexpr const char* kUserFolders[] = {"ZIR", "ZIR.openbeta"};

// Below a per-user folder; backslashes, as the paths go to the Windows file functions unchanged.
constexpr char kModFolder[] = "\\Mods\\aircraft\\VIDA_Rorozira";
constexpr char kScriptFile[] = "\\Entry.lua";

// Entry.lua: ten lines, each written as text with a newline (CRLF on disk), no BOM.
// Line 9 is kMountLineStart + root text + kMountLineEnd.
constexpr const char* kScriptHead[] = {
    "declare_plugin(\"VIDA Rorozira\",",
    "{",
    "\tinstalled = true,",
    "\tdirName = current_mod_path,",
    "\tversion = \"1.0.0\",",
    "\tstate = \"installed\",",
    "\tinfo = _(\"VIDA Rorozira\"),",
    "})",
};
constexpr char kMountLineStart[] = "mount_vfs_liveries_path(\"";
constexpr char kMountLineEnd[] = "/ZIR.VESK.Liveries/\")";
constexpr char kScriptTail[] = "plugin_done()";

// Console lines: French without accented letters. N is the bare per-user folder name.
constexpr char kFolderMissingStart[] = "Le repertoire ";   // + N
constexpr char kFolderMissingEnd[] = " n'existe pas -> ignore";
constexpr char kScriptAddedStart[] = "Entry.lua a ete ajoute dans ";  // + N
constexpr char kScriptAddedEnd[] = " !";
constexpr char kCannotWrite[] = "Impossible d'ecrire dans ";  // + root text + "\" + N + script path
constexpr char kCannotReadCurrentDirectory[] = "Impossible de lire le repertoire courant";
