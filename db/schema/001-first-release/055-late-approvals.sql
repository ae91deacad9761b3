-- Late cancellations the state approved, one invoice at a time. Beyond the
-- terms of the table of authorities, some states (SP and MG among them)
-- accept a cancellation only after a request of the taxpayer that they
-- approve; the approval is recorded here with the state's reference, and the
-- server then sends the cancellation until DHLIMITE (the authority still has
-- the last word). Rows are never deleted: they are part of the audit of the
-- cancellation.
--
-- DHLIMITE, DHREGISTRO: whole seconds since 1970-01-01 UTC.
CREATE TABLE CANCEXTEMPNFE (
    NRLANCTONF    VARCHAR(10)  NOT NULL,
    DSAUTORIZACAO VARCHAR(255) NOT NULL,
    DHLIMITE      BIGINT       NOT NULL,
    CDUSUARIO     VARCHAR(60)  NOT NULL,
    DHREGISTRO    BIGINT       NOT NULL,
    CONSTRAINT CANCEXTEMPNFE_PK PRIMARY KEY (NRLANCTONF),
    CONSTRAINT CANCEXTEMPNFE_NOTAFISCAL FOREIGN KEY (NRLANCTONF) REFERENCES NOTAFISCAL (NRLANCTONF)
);
