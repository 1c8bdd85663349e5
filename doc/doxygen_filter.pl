#!/usr/bin/perl
# Doxygen's input filter for the public headers (doc/Doxyfile.in): their
# comments are plain // comments written as documentation, and become
# Doxygen's as they are read; the headers stay as they are. Every line
# stays on its line, so that Doxygen's line numbers are the header's.
use strict;
use warnings;

my $group;  # indentation of the members of the open "// --- name ---" group

while (my $line = <>) {
  chomp $line;
  my ($indent) = $line =~ /^(\s*)/;
  if ($line =~ m{^(\s*)//\s*-{2,}\s*(.*?)\s*-{2,}\s*$}) {
    # "// --- name ---" heads a group of members, up to the next heading,
    # access label or the end of the class.
    my $close = defined $group ? '/**@}*/ ' : '';
    $line = "$1$close/** \@name $2 */ /**\@{*/";
    $group = length $1;
  } elsif (defined $group && $line =~ m{^\s*(?:(?:public|private|protected):|\})} && length $indent < $group) {
    $line = "/**\@}*/ $line";
    undef $group;
  } elsif ($line =~ m{^(\s*)//(\s.*|)$}) {
    # A comment line of its own documents the declaration below it; the
    # one that opens a header describes the file. Its backslashes are
    # text (registry keys, \\.\COMn), not commands, except in quotes,
    # where Doxygen takes them as they are.
    my $text = $2;
    $text =~ s{("[^"]*")|\\}{defined $1 ? $1 : '\\\\'}ge;
    $line = ($. == 1 ? "/// \@file\n" : '') . "$indent///$text";
  } else {
    # A comment behind a member documents that member.
    $line =~ s{^([^/"]*[;,])(\s*)//(\s|$)}{$1$2///<$3};
  }
  print "$line\n";
}
