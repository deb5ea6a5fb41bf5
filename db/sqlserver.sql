-- Central database objects for Microsoft SQL Server: the position table, the object
-- register and the procedures the server calls through the ODBC call escape
-- "{? = CALL MOBILES_IU;1(...)}" and "{? = CALL OBJECTS_IU;1(...)}".
-- Run once in the target database, e.g. sqlcmd -S host -d telvaro -i sqlserver.sql

CREATE TABLE dbo.MOBILES (
  REC_ID        bigint IDENTITY(1, 1) NOT NULL CONSTRAINT PK_MOBILES PRIMARY KEY,
  ID            varchar(64)  NOT NULL,
  LAT           float        NOT NULL,
  LON           float        NOT NULL,
  SPEED         float        NOT NULL,
  AZ            int          NOT NULL,
  MAXSPEED      int          NOT NULL,
  ALT           int          NOT NULL,
  A_EVENT       int          NOT NULL,
  EVENT_VALUE   int          NOT NULL,
  VALID         int          NOT NULL,
  NAVSYSTEM     int          NOT NULL,
  NAVIGATIONOLD int          NOT NULL,
  SATCOUNT      int          NOT NULL,
  A_POWER       float        NOT NULL,
  EXTPOWER      float        NOT NULL,
  ODOMETER1     float        NOT NULL,
  ODOMETER2     float        NOT NULL,
  KEYID         int          NOT NULL,
  DLKP          int          NOT NULL,
  UTCDATE       datetime2(3) NOT NULL,
  GPSDATE       datetime2(3) NULL,
  UTC_LOCAL     datetime2(3) NULL,
  GPS_LOCAL     datetime2(3) NULL,
  DT            datetime2(3) NULL,
  MC            int          NOT NULL,
  FLAGS         bigint       NOT NULL,
  GSM_LEVEL     int          NOT NULL,
  LAST_SECONDS  int          NOT NULL,
  LAST_VALID    int          NOT NULL,
  STORED_AT     datetime2(3) NOT NULL CONSTRAINT DF_MOBILES_STORED_AT DEFAULT SYSDATETIME(),
  -- A terminal resends records it has no acknowledgement for, and the server retries
  -- a write whose connection broke: the same record then updates its row.
  CONSTRAINT UQ_MOBILES_RECORD UNIQUE (ID, UTCDATE, A_EVENT)
);
GO

CREATE TABLE dbo.OBJECTS (
  ID      varchar(64)  NOT NULL CONSTRAINT PK_OBJECTS PRIMARY KEY,
  ID2     varchar(64)  NOT NULL,
  CHANGED datetime2(3) NOT NULL CONSTRAINT DF_OBJECTS_CHANGED DEFAULT SYSDATETIME()
);
GO

CREATE PROCEDURE dbo.MOBILES_IU
  @ID varchar(64), @LAT float, @LON float, @SPEED float, @AZ int, @MAXSPEED int, @ALT int,
  @A_EVENT int, @EVENT_VALUE int, @VALID int, @NAVSYSTEM int, @NAVIGATIONOLD int,
  @SATCOUNT int, @A_POWER float, @EXTPOWER float, @ODOMETER1 float, @ODOMETER2 float,
  @KEYID int, @DLKP int, @UTCDATE datetime2(3), @GPSDATE datetime2(3),
  @UTC_LOCAL datetime2(3), @GPS_LOCAL datetime2(3), @dt datetime2(3), @mc int,
  @flags bigint, @gsm_level int, @last_seconds int, @last_valid int
AS
BEGIN
  SET NOCOUNT ON;
  UPDATE dbo.MOBILES WITH (UPDLOCK, SERIALIZABLE)
     SET LAT = @LAT, LON = @LON, SPEED = @SPEED, AZ = @AZ, MAXSPEED = @MAXSPEED, ALT = @ALT,
         EVENT_VALUE = @EVENT_VALUE, VALID = @VALID, NAVSYSTEM = @NAVSYSTEM,
         NAVIGATIONOLD = @NAVIGATIONOLD, SATCOUNT = @SATCOUNT, A_POWER = @A_POWER,
         EXTPOWER = @EXTPOWER, ODOMETER1 = @ODOMETER1, ODOMETER2 = @ODOMETER2, KEYID = @KEYID,
         DLKP = @DLKP, GPSDATE = @GPSDATE, UTC_LOCAL = @UTC_LOCAL, GPS_LOCAL = @GPS_LOCAL,
         DT = @dt, MC = @mc, FLAGS = @flags, GSM_LEVEL = @gsm_level,
         LAST_SECONDS = @last_seconds, LAST_VALID = @last_valid, STORED_AT = SYSDATETIME()
   WHERE ID = @ID AND UTCDATE = @UTCDATE AND A_EVENT = @A_EVENT;
  IF @@ROWCOUNT = 0
    INSERT INTO dbo.MOBILES (ID, LAT, LON, SPEED, AZ, MAXSPEED, ALT, A_EVENT, EVENT_VALUE, VALID,
                             NAVSYSTEM, NAVIGATIONOLD, SATCOUNT, A_POWER, EXTPOWER, ODOMETER1,
                             ODOMETER2, KEYID, DLKP, UTCDATE, GPSDATE, UTC_LOCAL, GPS_LOCAL, DT,
                             MC, FLAGS, GSM_LEVEL, LAST_SECONDS, LAST_VALID)
    VALUES (@ID, @LAT, @LON, @SPEED, @AZ, @MAXSPEED, @ALT, @A_EVENT, @EVENT_VALUE, @VALID,
            @NAVSYSTEM, @NAVIGATIONOLD, @SATCOUNT, @A_POWER, @EXTPOWER, @ODOMETER1,
            @ODOMETER2, @KEYID, @DLKP, @UTCDATE, @GPSDATE, @UTC_LOCAL, @GPS_LOCAL, @dt,
            @mc, @flags, @gsm_level, @last_seconds, @last_valid);
  RETURN 0;
END
GO

CREATE PROCEDURE dbo.OBJECTS_IU @ID varchar(64), @ID2 varchar(64)
AS
BEGIN
  SET NOCOUNT ON;
  UPDATE dbo.OBJECTS WITH (UPDLOCK, SERIALIZABLE) SET ID2 = @ID2, CHANGED = SYSDATETIME() WHERE ID = @ID;
  IF @@ROWCOUNT = 0
    INSERT INTO dbo.OBJECTS (ID, ID2) VALUES (@ID, @ID2);
  RETURN 0;
END
GO
