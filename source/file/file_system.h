// The file-system natives of the file library (working directory, entries,
// permissions, status and listings); file_init registers them. They do not
// use the handle table.
#pragma once

namespace zorvik {

void file_list();
void file_files();
void file_dirs();
void file_cd();
void file_mkdir();
void file_remove();
void file_rename();
void file_chmod();
void file_info();

}  // namespace zorvik
