// The journal's file format, shared by the writer and the reader.
//
// One record a line (JSON Lines). The first line is the header object
//   {"journal":"korvo-reporter","version":1,"durability":"flush","crc":"XXXXXXXX"}
// and every further line is an array of operations closed by its checksum:
//   [["+",3,1,"sections","Section","tc1",2,null],["=",3,"starttime",{"$T":"..."}],"XXXXXXXX"]
// The checksum is the CRC-32 of the line's bytes before the quote that opens it, continued
// from the previous line's checksum, so a changed, lost or reordered line is noticed.
// A line holds everything one public operation changed, so a reader stops between operations.
// The file may end in NUL bytes: room its writer reserved ahead of its lines (flush mode maps
// the file), not written yet. A closed journal has none; a killed job's keeps them.
//
// Operations:
//   ["+", node, parent|null, list|null, class, id, seq_num, type|null]
//       a node made by its class's constructor and appended to the parent's list attribute
//   ["=", node, name, value, name, value, ...]   attributes set to the values given
//   ["-", node, name]                            an attribute deleted
//   ["s", node]                                  the node's stop ran
//   ["end"]                                      the journal was closed
// Values: JSON null, booleans, integers, floats (always with "." or an exponent), strings
// (lone surrogates as \u escapes), arrays for lists, objects with text keys for dicts; and
// tagged objects, whose first key starts with "$":
//   {"$m":[[k,v],...]} dict with other keys   {"$a":DICT} AttrDict   {"$tu":[...]} tuple
//   {"$b":"hex"} bytes   {"$i":"0x.."} big int   {"$f":"nan"|"inf"|"-inf"}
//   {"$D":"YYYY-MM-DD"} date   {"$T":"YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM[:SS[.ffffff]]]"}
//   (a date-time with fold set has ,"f":1 after its text)
//   {"$k":"Passed"} a named result of korvo.results itself
//   {"$t":"Failed","r":reason,"d":data} another result: a clone of the named one
//   {"$c":[[key,count],...],"w":weight} ResultCounter
// (results and counters are written whole wherever they appear: the model never changes
// one in place once it is stored, it stores a new one)
//   {"$e":"module.Class","a":[args]} exception (made again only for a class of builtins;
//   any other is kept as its text, module.Class(args))   {"$n":node} a node of this journal
//   {"$?":"repr text"} a value of another type, kept as its text
// Lists, dicts and AttrDicts are numbered in the order in which they
// first appear in the file (0, 1, ...), so a later {"$r":n} is that same object again, and
// {"$u":n,"v":VALUE} is that object with new contents (it changed in place).
#pragma once

namespace korvo::campaign::journal {

constexpr int kFormatVersion = 1;
constexpr const char kHeaderStart[] = "{\"journal\":\"korvo-reporter\",\"version\":";

// The tail of every line: "XXXXXXXX"] or "XXXXXXXX"} then a line break.
constexpr size_t kChecksumTail = 11;

} // namespace korvo::campaign::journal
