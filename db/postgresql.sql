-- Central database objects for PostgreSQL: the position table, the object register
-- and the two functions the server calls, through libpq as "SELECT mobiles_iu($1, ...)"
-- and "SELECT objects_iu($1, $2)", or through the ODBC call escape
-- "{? = CALL MOBILES_IU(...)}" and "{? = CALL OBJECTS_IU(...)}".
-- Run once in an empty database (psql -v ON_ERROR_STOP=1 -f postgresql.sql).

CREATE TABLE mobiles (
  rec_id        bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  id            varchar(64)      NOT NULL,
  lat           double precision NOT NULL,
  lon           double precision NOT NULL,
  speed         double precision NOT NULL,
  az            integer          NOT NULL,
  maxspeed      integer          NOT NULL,
  alt           integer          NOT NULL,
  a_event       integer          NOT NULL,
  event_value   integer          NOT NULL,
  valid         integer          NOT NULL,
  navsystem     integer          NOT NULL,
  navigationold integer          NOT NULL,
  satcount      integer          NOT NULL,
  a_power       double precision NOT NULL,
  extpower      double precision NOT NULL,
  odometer1     double precision NOT NULL,
  odometer2     double precision NOT NULL,
  keyid         integer          NOT NULL,
  dlkp          integer          NOT NULL,
  utcdate       timestamp(3)     NOT NULL,
  gpsdate       timestamp(3),
  utc_local     timestamp(3),
  gps_local     timestamp(3),
  dt            timestamp(3),
  mc            integer          NOT NULL,
  flags         bigint           NOT NULL,
  gsm_level     integer          NOT NULL,
  last_seconds  integer          NOT NULL,
  last_valid    integer          NOT NULL,
  stored_at     timestamp(3)     NOT NULL DEFAULT localtimestamp,
  -- A terminal resends records it has no acknowledgement for, and the server retries
  -- a write whose connection broke: the same record then updates its row.
  CONSTRAINT mobiles_record UNIQUE (id, utcdate, a_event)
);

CREATE TABLE objects (
  id      varchar(64)  PRIMARY KEY,
  id2     varchar(64)  NOT NULL,
  changed timestamp(3) NOT NULL DEFAULT localtimestamp
);

CREATE FUNCTION mobiles_iu(
  p_id varchar, p_lat double precision, p_lon double precision, p_speed double precision,
  p_az integer, p_maxspeed integer, p_alt integer, p_a_event integer, p_event_value integer,
  p_valid integer, p_navsystem integer, p_navigationold integer, p_satcount integer,
  p_a_power double precision, p_extpower double precision,
  p_odometer1 double precision, p_odometer2 double precision,
  p_keyid integer, p_dlkp integer,
  p_utcdate timestamp, p_gpsdate timestamp, p_utc_local timestamp, p_gps_local timestamp,
  p_dt timestamp, p_mc integer, p_flags bigint, p_gsm_level integer,
  p_last_seconds integer, p_last_valid integer)
RETURNS integer
LANGUAGE plpgsql AS $$
BEGIN
  INSERT INTO mobiles (id, lat, lon, speed, az, maxspeed, alt, a_event, event_value, valid,
                       navsystem, navigationold, satcount, a_power, extpower, odometer1,
                       odometer2, keyid, dlkp, utcdate, gpsdate, utc_local, gps_local, dt,
                       mc, flags, gsm_level, last_seconds, last_valid)
  VALUES (p_id, p_lat, p_lon, p_speed, p_az, p_maxspeed, p_alt, p_a_event, p_event_value,
          p_valid, p_navsystem, p_navigationold, p_satcount, p_a_power, p_extpower,
          p_odometer1, p_odometer2, p_keyid, p_dlkp, p_utcdate, p_gpsdate, p_utc_local,
          p_gps_local, p_dt, p_mc, p_flags, p_gsm_level, p_last_seconds, p_last_valid)
  ON CONFLICT ON CONSTRAINT mobiles_record DO UPDATE SET
    lat = EXCLUDED.lat, lon = EXCLUDED.lon, speed = EXCLUDED.speed, az = EXCLUDED.az,
    maxspeed = EXCLUDED.maxspeed, alt = EXCLUDED.alt, event_value = EXCLUDED.event_value,
    valid = EXCLUDED.valid, navsystem = EXCLUDED.navsystem,
    navigationold = EXCLUDED.navigationold, satcount = EXCLUDED.satcount,
    a_power = EXCLUDED.a_power, extpower = EXCLUDED.extpower,
    odometer1 = EXCLUDED.odometer1, odometer2 = EXCLUDED.odometer2,
    keyid = EXCLUDED.keyid, dlkp = EXCLUDED.dlkp, gpsdate = EXCLUDED.gpsdate,
    utc_local = EXCLUDED.utc_local, gps_local = EXCLUDED.gps_local, dt = EXCLUDED.dt,
    mc = EXCLUDED.mc, flags = EXCLUDED.flags, gsm_level = EXCLUDED.gsm_level,
    last_seconds = EXCLUDED.last_seconds, last_valid = EXCLUDED.last_valid,
    stored_at = localtimestamp;
  RETURN 0;
END;
$$;

CREATE FUNCTION objects_iu(p_id varchar, p_id2 varchar)
RETURNS integer
LANGUAGE plpgsql AS $$
BEGIN
  INSERT INTO objects (id, id2) VALUES (p_id, p_id2)
  ON CONFLICT (id) DO UPDATE SET id2 = EXCLUDED.id2, changed = localtimestamp;
  RETURN 0;
END;
$$;
