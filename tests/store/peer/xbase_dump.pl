#!/usr/bin/perl
# Lists a table and one tag of its compound index as Perl XBase reads them:
#   xbase_dump.pl TABLE.DBF TABLE.CDX TAG
# Output: "rec N D|field|field..." lines (D is "*" when deleted, memos as hex), then
# "tag NAME key=EXPR for=EXPR order=N", then "key RECNO|KEY" in stored order.
use strict;
use warnings;
use XBase;
use XBase::Index;

my ($dbf, $cdx, $tag, $type) = @ARGV;
$type = 'char' unless defined $type;
my $t = XBase->new(name => $dbf) or die XBase->errstr;
my @names = $t->field_names;
for my $n (0 .. $t->last_record) {
    my ($deleted, @values) = $t->get_record($n);
    my @out;
    for my $i (0 .. $#names) {
        my $v = defined $values[$i] ? $values[$i] : '';
        if ($t->field_type($names[$i]) eq 'M') { $v = unpack('H*', $v); }
        push @out, $v;
    }
    print "rec ", $n + 1, " ", ($deleted ? "*" : " "), "|", join("|", @out), "\n";
}
$t->close;

my $idx = XBase::Index->new($cdx, tag => $tag, type => $type) or die XBase::Index->errstr;
printf "tag %s key=%s for=%s order=%d\n", $tag, $idx->{key_string}, $idx->{for_string},
    $idx->{sort_order};
$idx->prepare_select;
while (my ($key, $recno) = $idx->fetch) {
    print "key $recno|$key\n";
}
