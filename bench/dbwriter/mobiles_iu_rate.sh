#!/usr/bin/env bash
# The rate of MOBILES_IU inside PostgreSQL itself: a PL/pgSQL loop of calls with
# distinct records in one session, no client and no network in between; the ceiling
# for any writer that calls the function once per record on one connection.
#
#   bench/dbwriter/mobiles_iu_rate.sh [CALLS] [ROUNDS]    (defaults: 100000 3)
#
# Needs TELVARO_TEST_PG (eval "$(scripts/pg-test.sh start)"). Each round is one
# transaction of CALLS calls, rolled back, so the table is left as it was; each round
# has keys of its own, so no call meets the dead rows of an earlier one.
set -euo pipefail

calls=${1:-100000}
rounds=${2:-3}
: "${TELVARO_TEST_PG:?TELVARO_TEST_PG is not set (eval \"\$(scripts/pg-test.sh start)\")}"
psql=$(command -v psql || echo /usr/lib/postgresql/15/bin/psql)

for round in $(seq "$rounds"); do
  "$psql" -X -q -v ON_ERROR_STOP=1 -d "$TELVARO_TEST_PG" <<SQL 2>&1 | sed -n 's/.*NOTICE:  //p'
BEGIN;
DO \$\$
DECLARE
  n  constant integer := $calls;
  t0 timestamptz := clock_timestamp();
  at timestamp;
BEGIN
  FOR i IN 1..n LOOP
    at := timestamp '2023-03-15 00:00' + i * interval '1 millisecond';
    PERFORM mobiles_iu('RATE$$-$round-' || (i % 100), 55.75, 37.625, 60, 90, 0, 150, 0, 0, 1, 0, 0, 9,
                       12.5, 27.25, 0, 0, 0, 0, at, at, at + interval '3 hours',
                       at + interval '3 hours', NULL, i, 1, 99, 0, 0);
  END LOOP;
  RAISE NOTICE 'mobiles_iu: % calls in % s: % calls/s', n,
    round(extract(epoch FROM clock_timestamp() - t0)::numeric, 3),
    round(n / extract(epoch FROM clock_timestamp() - t0));
END
\$\$;
ROLLBACK;
SQL
done
