// A header of the consumer's own whose name a library header might also use. The consumer puts
// this folder on its include path; none of the installed core's headers may pick this file up in
// place of one of theirs.
#error "the consumer's own utf8.hpp was included by an installed halyx header"
